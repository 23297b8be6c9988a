<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>MainWindow</name>
    <message>
        <source>Refresh</source>
        <translation>Aktualisieren</translation>
    </message>
    <message>
        <source>&amp;Window</source>
        <translation>&amp;Fenster</translation>
    </message>
    <message>
        <source>&amp;About NewApplication</source>
        <translation>Ü&amp;ber NewApplication</translation>
    </message>
    <message>
        <source>&amp;Quit NewApplication</source>
        <translation>NewApplication &amp;beenden</translation>
    </message>
    <message>
        <source>&amp;Minimize NewApplication</source>
        <translation>NewApplication &amp;minimieren</translation>
    </message>
    <message>
        <source>Search Again</source>
        <translation>Erneut suchen</translation>
    </message>
    <message>
        <source>Configure</source>
        <translation>Konfigurieren</translation>
    </message>
</context>
<context>
    <name>QipController</name>
    <message>
        <source>Released under the MIT licence.</source>
        <translation>Veröffentlicht unter der MIT-Lizenz.</translation>
    </message>
    <message>
        <source>Finds QIP devices on the local network and opens their configuration page.</source>
        <translation>Findet QIP-Geräte im lokalen Netz und öffnet ihre Konfigurationsseite.</translation>
    </message>
    <message>
        <source>Suche</source>
        <translation>Suche nach Geräten …</translation>
    </message>
    <message>
        <source>Version %1</source>
        <translation>Version %1</translation>
    </message>
    <message>
        <source>About %1</source>
        <translation>Über %1</translation>
    </message>
    <message>
        <source>Choose</source>
        <translation>Gerät zum Konfigurieren wählen:</translation>
    </message>
    <message>
        <source>Fehler</source>
        <translation>Kein Gerät gefunden.</translation>
    </message>
</context>
<context>
    <name>QipHelpText</name>
    <message>
        <source>%1 looks for devices of type %2. Only devices of other types answered: %3.</source>
        <translation>%1 sucht Geräte vom Typ %2. Geantwortet haben nur Geräte anderer Typen: %3.</translation>
    </message>
    <message>
        <source>If your device is among them, this program is not set up for its type; the program&apos;s documentation says how to add it.</source>
        <translation>Ist Ihr Gerät darunter, ist dieses Programm nicht für seinen Typ eingerichtet; wie man ihn hinzufügt, steht in der Dokumentation des Programms.</translation>
    </message>
    <message>
        <source>• A VPN or a container bridge (%1) has taken the route to the local network.</source>
        <translation>• Ein VPN oder eine Container-Bridge (%1) hat die Route ins lokale Netz übernommen.</translation>
    </message>
    <message>
        <source>• Packets that could not be read arrived on port %1: a device may speak another version of the protocol.</source>
        <translation>• An Port %1 kamen Pakete an, die nicht gelesen werden konnten: Ein Gerät spricht womöglich eine andere Version des Protokolls.</translation>
    </message>
    <message>
        <source>• Answers were lost because too many arrived at once.</source>
        <translation>• Antworten gingen verloren, weil zu viele gleichzeitig ankamen.</translation>
    </message>
    <message>
        <source>• This computer has no network connection to search on.</source>
        <translation>• Dieser Computer hat keine Netzwerkverbindung, in der gesucht werden kann.</translation>
    </message>
    <message>
        <source>Searched on: %1.</source>
        <translation>Gesucht wurde in: %1.</translation>
    </message>
    <message>
        <source>• The device is switched off or still starting.</source>
        <translation>• Das Gerät ist ausgeschaltet oder startet noch.</translation>
    </message>
    <message>
        <source>• The device is on another network or VLAN than this computer.</source>
        <translation>• Das Gerät ist in einem anderen Netz oder VLAN als dieser Computer.</translation>
    </message>
    <message>
        <source>• A firewall on this computer drops incoming UDP packets on port %1.</source>
        <translation>• Eine Firewall auf diesem Computer verwirft eingehende UDP-Pakete an Port %1.</translation>
    </message>
    <message>
        <source>• A Wi-Fi access point or mesh system keeps its clients apart or drops broadcasts.</source>
        <translation>• Ein WLAN-Zugangspunkt oder Mesh-System trennt seine Clients voneinander oder verwirft Broadcasts.</translation>
    </message>
    <message>
        <source>• A VPN or a container bridge has taken the route to the local network.</source>
        <translation>• Ein VPN oder eine Container-Bridge hat die Route ins lokale Netz übernommen.</translation>
    </message>
    <message>
        <source>Opens %1</source>
        <translation>Öffnet %1</translation>
    </message>
    <message>
        <source>Likely causes:</source>
        <translation>Mögliche Ursachen:</translation>
    </message>
    <message>
        <source>Devices of other types answered: %1. None is of type %2.</source>
        <translation>Geräte anderer Typen haben geantwortet: %1. Keines ist vom Typ %2.</translation>
    </message>
    <message>
        <source>Cannot listen for devices on UDP port %1.</source>
        <translation>Auf UDP-Port %1 kann nicht nach Geräten gehorcht werden.</translation>
    </message>
    <message>
        <source>Another program on this computer may hold UDP port %1. Quit it, then search again.</source>
        <translation>Womöglich belegt ein anderes Programm auf diesem Computer den UDP-Port %1. Beenden Sie es und suchen Sie dann erneut.</translation>
    </message>
    <message>
        <source>Another program on this computer also uses UDP port %1. Devices answer only one program per computer, so this one may not hear them: quit the other program and search again.</source>
        <translation>Ein anderes Programm auf diesem Computer nutzt ebenfalls den UDP-Port %1. Geräte antworten nur einem Programm je Computer, dieses hört sie daher womöglich nicht: Beenden Sie das andere Programm und suchen Sie erneut.</translation>
    </message>
    <message>
        <source>%1 is on none of this computer&apos;s networks: the page may not open.</source>
        <translation>%1 liegt in keinem Netz dieses Computers: Die Seite öffnet sich womöglich nicht.</translation>
    </message>
    <message>
        <source>%1 (%2)</source>
        <translation>%1 (%2)</translation>
    </message>
</context>
<context>
    <name>QipMainWindow</name>
    <message>
        <source>Refresh</source>
        <translation>Aktualisieren</translation>
    </message>
    <message>
        <source>Looks for devices again (F5)</source>
        <translation>Sucht erneut nach Geräten (F5)</translation>
    </message>
    <message>
        <source>Looking for devices again</source>
        <translation>Es wird erneut nach Geräten gesucht</translation>
    </message>
    <message>
        <source>Looks for devices again and refills the list, keeping the chosen device chosen</source>
        <translation>Sucht erneut nach Geräten und füllt die Liste neu; das gewählte Gerät bleibt gewählt</translation>
    </message>
    <message>
        <source>The page could not be opened: no web browser was found.</source>
        <translation>Die Seite konnte nicht geöffnet werden: Es wurde kein Webbrowser gefunden.</translation>
    </message>
    <message>
        <source>The page could not be opened: the web browser did not take it (xdg-open ended with status %1).</source>
        <translation>Die Seite konnte nicht geöffnet werden: Der Webbrowser hat sie nicht übernommen (xdg-open endete mit Status %1).</translation>
    </message>
    <message>
        <source>Open this address in a browser yourself:</source>
        <translation>Öffnen Sie diese Adresse selbst in einem Browser:</translation>
    </message>
    <message>
        <source>Page address</source>
        <translation>Adresse der Seite</translation>
    </message>
    <message>
        <source>Copy Address</source>
        <translation>Adresse kopieren</translation>
    </message>
    <message>
        <source>Shown while the local network is searched for devices</source>
        <translation>Wird gezeigt, während das lokale Netz nach Geräten durchsucht wird</translation>
    </message>
    <message>
        <source>Searching</source>
        <translation>Suche läuft</translation>
    </message>
    <message>
        <source>Opens the chosen device&apos;s page in the web browser</source>
        <translation>Öffnet die Seite des gewählten Geräts im Webbrowser</translation>
    </message>
    <message>
        <source>Device</source>
        <translation>Gerät</translation>
    </message>
    <message>
        <source>Configure</source>
        <translation>Konfigurieren</translation>
    </message>
</context>
</TS>
