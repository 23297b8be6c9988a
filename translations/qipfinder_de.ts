<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>MainWindow</name>
    <message>
        <source>&amp;Window</source>
        <translation>&amp;Fenster</translation>
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
        <source>&amp;Refresh</source>
        <translation>&amp;Aktualisieren</translation>
    </message>
    <message>
        <source>&amp;About NewApplication</source>
        <translation>&amp;Über NewApplication</translation>
    </message>
    <message>
        <source>Search &amp;Again</source>
        <translation>&amp;Erneut suchen</translation>
    </message>
    <message>
        <source>&amp;Open</source>
        <translation>&amp;Öffnen</translation>
    </message>
    <message>
        <source>Search A&amp;nother Network…</source>
        <translation>Anderes &amp;Netz durchsuchen…</translation>
    </message>
    <message>
        <source>&amp;Filter:</source>
        <translation>&amp;Filter:</translation>
    </message>
    <message>
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message>
        <source>NewApplication &amp;Help</source>
        <translation>&amp;Hilfe zu NewApplication</translation>
    </message>
    <message>
        <source>&amp;Copy All</source>
        <translation>Alles &amp;kopieren</translation>
    </message>
    <message>
        <source>&amp;Export…</source>
        <translation>&amp;Exportieren …</translation>
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
    <message>
        <source>Version %1 (%2)</source>
        <translation>Version %1 (%2)</translation>
    </message>
    <message>
        <source>Known devices are not kept (QipKnownDevices is off).</source>
        <translation>Bekannte Geräte werden nicht gespeichert (QipKnownDevices ist aus).</translation>
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
        <source>UDP port %1 is held by process %2 of user %3, which this program does not trust, so it listens alone: answers to broadcasts reach both programs, but answers when searching another network may reach only the other one.</source>
        <translation>Den UDP-Port %1 hält Prozess %2 des Benutzers %3, dem dieses Programm nicht vertraut; es lauscht daher allein: Antworten auf Broadcasts erreichen beide Programme, Antworten bei der Suche in einem anderen Netz womöglich nur das andere.</translation>
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
    <message>
        <source>Also asked beyond this computer's networks: %1.</source>
        <translation>Außerdem außerhalb der Netze dieses Computers gefragt: %1.</translation>
    </message>
    <message>
        <source>• Nothing answered from %1: the router on the way may not let UDP port %2 through in both directions and TCP port 80 to the devices, or may not route back to this computer.</source>
        <translation>• Aus %1 kam keine Antwort: Der Router auf dem Weg lässt vielleicht UDP-Port %2 nicht in beide Richtungen und TCP-Port 80 nicht zu den Geräten durch, oder er leitet nicht zu diesem Computer zurück.</translation>
    </message>
    <message>
        <source>• Cannot resolve %1: the name server did not answer or does not know the name.</source>
        <translation>• %1 lässt sich nicht auflösen: Der Namensserver hat nicht geantwortet oder kennt den Namen nicht.</translation>
    </message>
    <message>
        <source>• This computer has no route to %1.</source>
        <translation>• Dieser Computer hat keine Route zu %1.</translation>
    </message>
    <message>
        <source>• %1 answers for more than %2 devices; the rest are left out, and your device may be among them.</source>
        <translation>• %1 antwortet für mehr als %2 Geräte; die übrigen werden ausgelassen, und Ihr Gerät ist vielleicht darunter.</translation>
    </message>
</context>
<context>
    <name>QipMainWindow</name>
    <message>
        <source>Show All Device &amp;Types</source>
        <translation>Alle Geräte&amp;typen zeigen</translation>
    </message>
    <message>
        <source>No device matches “%1”.</source>
        <translation>Kein Gerät passt zu „%1“.</translation>
    </message>
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
        <source>Searches a network behind a router by address, range or host name</source>
        <translation>Durchsucht ein Netz hinter einem Router nach Adresse, Bereich oder Hostname</translation>
    </message>
    <message>
        <source>Devices</source>
        <translation>Geräte</translation>
    </message>
    <message>
        <source>Filter</source>
        <translation>Filter</translation>
    </message>
    <message>
        <source>Name, address, type or ID</source>
        <translation>Name, Adresse, Typ oder ID</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>Öffnen</translation>
    </message>
    <message>
        <source>&amp;Open</source>
        <translation>&amp;Öffnen</translation>
    </message>
    <message>
        <source>Copy &amp;Address</source>
        <translation>&amp;Adresse kopieren</translation>
    </message>
    <message>
        <source>Copy Device &amp;ID</source>
        <translation>Geräte-&amp;ID kopieren</translation>
    </message>
    <message>
        <source>&amp;Copy Address</source>
        <translation>Adresse &amp;kopieren</translation>
    </message>
    <message>
        <source>The help is not installed: %1 is missing.</source>
        <translation>Die Hilfe ist nicht installiert: %1 fehlt.</translation>
    </message>
    <message>
        <source>Export Devices</source>
        <translation>Geräte exportieren</translation>
    </message>
    <message>
        <source>CSV (*.csv)</source>
        <translation>CSV (*.csv)</translation>
    </message>
    <message>
        <source>JSON lines, as qip-discover --json writes them (*.jsonl *.json)</source>
        <translation>JSON-Zeilen, wie qip-discover --json sie schreibt (*.jsonl *.json)</translation>
    </message>
    <message>
        <source>devices</source>
        <translation>geräte</translation>
    </message>
    <message>
        <source>The devices could not be saved in %1: %2</source>
        <translation>Die Geräte konnten nicht in %1 gespeichert werden: %2</translation>
    </message>
    <message>
        <source>&amp;Label…</source>
        <translation>&amp;Bezeichnung…</translation>
    </message>
    <message>
        <source>&amp;Forget Device</source>
        <translation>Gerät &amp;vergessen</translation>
    </message>
</context>
<context>
    <name>QipProbeDialog</name>
    <message>
        <source>Search Another Network</source>
        <translation>Anderes Netz durchsuchen</translation>
    </message>
    <message>
        <source>Devices behind a router do not hear this computer's broadcasts, but they answer when asked by address. Enter an address (198.51.100.20), a range from /16 to /32 (198.51.100.0/24) or a host name.</source>
        <translation>Geräte hinter einem Router hören die Broadcasts dieses Computers nicht, antworten aber, wenn man sie über ihre Adresse fragt. Geben Sie eine Adresse (198.51.100.20), einen Bereich von /16 bis /32 (198.51.100.0/24) oder einen Hostnamen ein.</translation>
    </message>
    <message>
        <source>Network to search</source>
        <translation>Zu durchsuchendes Netz</translation>
    </message>
    <message>
        <source>Always searched, as set up for this computer: %1</source>
        <translation>Immer durchsucht, wie für diesen Computer eingerichtet: %1</translation>
    </message>
    <message>
        <source>A host name: looked up when the search starts.</source>
        <translation>Ein Hostname: Er wird beim Start der Suche aufgelöst.</translation>
    </message>
    <message>
        <source>Neither an address, a range nor a host name.</source>
        <translation>Weder eine Adresse noch ein Bereich noch ein Hostname.</translation>
    </message>
    <message>
        <source>Not an IPv4 address: four numbers from 0 to 255, like 198.51.100.20.</source>
        <translation>Keine IPv4-Adresse: vier Zahlen von 0 bis 255, etwa 198.51.100.20.</translation>
    </message>
    <message>
        <source>After the / comes a number from 16 to 32.</source>
        <translation>Nach dem / folgt eine Zahl von 16 bis 32.</translation>
    </message>
    <message>
        <source>Too large a range: /16 (65,534 addresses) at most.</source>
        <translation>Zu großer Bereich: höchstens /16 (65.534 Adressen).</translation>
    </message>
    <message>
        <source>Addresses beginning with 0 cannot be asked.</source>
        <translation>Adressen, die mit 0 beginnen, können nicht gefragt werden.</translation>
    </message>
    <message>
        <source>A multicast address cannot be asked.</source>
        <translation>Eine Multicast-Adresse kann nicht gefragt werden.</translation>
    </message>
    <message>
        <source>A reserved or broadcast address cannot be asked.</source>
        <translation>Eine reservierte oder Broadcast-Adresse kann nicht gefragt werden.</translation>
    </message>
    <message>
        <source>Already in your list.</source>
        <translation>Steht schon in Ihrer Liste.</translation>
    </message>
    <message numerus="yes">
        <source>%n address(es) will be asked.</source>
        <translation>
            <numerusform>%n Adresse wird gefragt.</numerusform>
            <numerusform>%n Adressen werden gefragt.</numerusform>
        </translation>
    </message>
    <message>
        <source>&amp;Add</source>
        <translation>&amp;Hinzufügen</translation>
    </message>
    <message>
        <source>&amp;Remove</source>
        <translation>&amp;Entfernen</translation>
    </message>
    <message>
        <source>&amp;Search</source>
        <translation>&amp;Suchen</translation>
    </message>
    <message>
        <source>&amp;Your networks, searched every time:</source>
        <translation>&amp;Ihre Netze, die jedes Mal durchsucht werden:</translation>
    </message>
    <message>
        <source>&amp;Cancel</source>
        <translation>Abbre&amp;chen</translation>
    </message>
    <message>
        <source>Searching these networks now, but they could not be saved in %1 (is the disk full or the file read-only?), so the next start will not search them.</source>
        <translation>Diese Netze werden jetzt durchsucht, konnten aber nicht in %1 gespeichert werden (ist der Datenträger voll oder die Datei schreibgeschützt?); beim nächsten Start werden sie daher nicht durchsucht.</translation>
    </message>
    <message>
        <source>C&amp;lose</source>
        <translation>Sch&amp;ließen</translation>
    </message>
</context>
<context>
    <name>QipDeviceTableModel</name>
    <message>
        <source>— no wireless network name</source>
        <translation>— kein Funknetzname</translation>
    </message>
    <message>
        <source>page refused</source>
        <translation>Seite abgelehnt</translation>
    </message>
    <message>
        <source>page not answering</source>
        <translation>Seite antwortet nicht</translation>
    </message>
    <message>
        <source>page unreachable</source>
        <translation>Seite nicht erreichbar</translation>
    </message>
    <message>
        <source>page: %1</source>
        <translation>Seite: %1</translation>
    </message>
    <message>
        <source>%1 (latest read: %2)</source>
        <translation>%1 (letzter Abruf: %2)</translation>
    </message>
    <message>
        <source>not heard since the start</source>
        <translation>seit dem Start nicht gehört</translation>
    </message>
    <message>
        <source>— reading its page</source>
        <translation>— Seite wird gelesen</translation>
    </message>
    <message>
        <source>not answering for %1 s</source>
        <translation>antwortet seit %1 s nicht</translation>
    </message>
    <message>
        <source>%1 s ago</source>
        <translation>vor %1 s</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>Address</source>
        <translation>Adresse</translation>
    </message>
    <message>
        <source>Type</source>
        <translation>Typ</translation>
    </message>
    <message>
        <source>Device ID</source>
        <translation>Geräte-ID</translation>
    </message>
    <message>
        <source>Last answer</source>
        <translation>Letzte Antwort</translation>
    </message>
    <message>
        <source>%1 (last time)</source>
        <translation>%1 (letztes Mal)</translation>
    </message>
    <message>
        <source>last seen just now</source>
        <translation>zuletzt gesehen: gerade eben</translation>
    </message>
    <message numerus="yes">
        <source>last seen %n minute(s) ago</source>
        <translation>
            <numerusform>zuletzt gesehen vor %n Minute</numerusform>
            <numerusform>zuletzt gesehen vor %n Minuten</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>last seen %n hour(s) ago</source>
        <translation>
            <numerusform>zuletzt gesehen vor %n Stunde</numerusform>
            <numerusform>zuletzt gesehen vor %n Stunden</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>last seen %n day(s) ago</source>
        <translation>
            <numerusform>zuletzt gesehen vor %n Tag</numerusform>
            <numerusform>zuletzt gesehen vor %n Tagen</numerusform>
        </translation>
    </message>
    <message>
        <source>%1 (opened last)</source>
        <translation>%1 (zuletzt geöffnet)</translation>
    </message>
    <message>
        <source>%1 - %2 - not answering now, %3</source>
        <translation>%1 - %2 - antwortet gerade nicht, %3</translation>
    </message>
    <message>
        <source>Label</source>
        <translation>Bezeichnung</translation>
    </message>
</context>
</TS>
