<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>MainWindow</name>
    <message>
        <source>Refresh</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>&amp;Window</source>
        <translation>&amp;Window</translation>
    </message>
    <message>
        <source>&amp;About NewApplication</source>
        <translation>&amp;About NewApplication</translation>
    </message>
    <message>
        <source>&amp;Quit NewApplication</source>
        <translation>&amp;Quit NewApplication</translation>
    </message>
    <message>
        <source>&amp;Minimize NewApplication</source>
        <translation>&amp;Minimize NewApplication</translation>
    </message>
    <message>
        <source>Search Again</source>
        <translation>Search Again</translation>
    </message>
    <message>
        <source>Configure</source>
        <translation>Configure</translation>
    </message>
</context>
<context>
    <name>QipController</name>
    <message>
        <source>Released under the MIT licence.</source>
        <translation>Released under the MIT licence.</translation>
    </message>
    <message>
        <source>Finds QIP devices on the local network and opens their configuration page.</source>
        <translation>Finds QIP devices on the local network and opens their configuration page.</translation>
    </message>
    <message>
        <source>Suche</source>
        <translation>Searching for devices…</translation>
    </message>
    <message>
        <source>Version %1</source>
        <translation>Version %1</translation>
    </message>
    <message>
        <source>About %1</source>
        <translation>About %1</translation>
    </message>
    <message>
        <source>Choose</source>
        <translation>Choose a device to configure:</translation>
    </message>
    <message>
        <source>Fehler</source>
        <translation>No device found.</translation>
    </message>
</context>
<context>
    <name>QipHelpText</name>
    <message>
        <source>%1 looks for devices of type %2. Only devices of other types answered: %3.</source>
        <translation>%1 looks for devices of type %2. Only devices of other types answered: %3.</translation>
    </message>
    <message>
        <source>If your device is among them, this program is not set up for its type; the program&apos;s documentation says how to add it.</source>
        <translation>If your device is among them, this program is not set up for its type; the program&apos;s documentation says how to add it.</translation>
    </message>
    <message>
        <source>• A VPN or a container bridge (%1) has taken the route to the local network.</source>
        <translation>• A VPN or a container bridge (%1) has taken the route to the local network.</translation>
    </message>
    <message>
        <source>• Packets that could not be read arrived on port %1: a device may speak another version of the protocol.</source>
        <translation>• Packets that could not be read arrived on port %1: a device may speak another version of the protocol.</translation>
    </message>
    <message>
        <source>• Answers were lost because too many arrived at once.</source>
        <translation>• Answers were lost because too many arrived at once.</translation>
    </message>
    <message>
        <source>• This computer has no network connection to search on.</source>
        <translation>• This computer has no network connection to search on.</translation>
    </message>
    <message>
        <source>Searched on: %1.</source>
        <translation>Searched on: %1.</translation>
    </message>
    <message>
        <source>• The device is switched off or still starting.</source>
        <translation>• The device is switched off or still starting.</translation>
    </message>
    <message>
        <source>• The device is on another network or VLAN than this computer.</source>
        <translation>• The device is on another network or VLAN than this computer.</translation>
    </message>
    <message>
        <source>• A firewall on this computer drops incoming UDP packets on port %1.</source>
        <translation>• A firewall on this computer drops incoming UDP packets on port %1.</translation>
    </message>
    <message>
        <source>• A Wi-Fi access point or mesh system keeps its clients apart or drops broadcasts.</source>
        <translation>• A Wi-Fi access point or mesh system keeps its clients apart or drops broadcasts.</translation>
    </message>
    <message>
        <source>• A VPN or a container bridge has taken the route to the local network.</source>
        <translation>• A VPN or a container bridge has taken the route to the local network.</translation>
    </message>
    <message>
        <source>Opens %1</source>
        <translation>Opens %1</translation>
    </message>
    <message>
        <source>Likely causes:</source>
        <translation>Likely causes:</translation>
    </message>
    <message>
        <source>Devices of other types answered: %1. None is of type %2.</source>
        <translation>Devices of other types answered: %1. None is of type %2.</translation>
    </message>
    <message>
        <source>Cannot listen for devices on UDP port %1.</source>
        <translation>Cannot listen for devices on UDP port %1.</translation>
    </message>
    <message>
        <source>Another program on this computer may hold UDP port %1. Quit it, then search again.</source>
        <translation>Another program on this computer may hold UDP port %1. Quit it, then search again.</translation>
    </message>
    <message>
        <source>Another program on this computer also uses UDP port %1. Devices answer only one program per computer, so this one may not hear them: quit the other program and search again.</source>
        <translation>Another program on this computer also uses UDP port %1. Devices answer only one program per computer, so this one may not hear them: quit the other program and search again.</translation>
    </message>
    <message>
        <source>%1 is on none of this computer&apos;s networks: the page may not open.</source>
        <translation>%1 is on none of this computer&apos;s networks: the page may not open.</translation>
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
        <translation>Refresh</translation>
    </message>
    <message>
        <source>Looks for devices again (F5)</source>
        <translation>Looks for devices again (F5)</translation>
    </message>
    <message>
        <source>Looking for devices again</source>
        <translation>Looking for devices again</translation>
    </message>
    <message>
        <source>Looks for devices again and refills the list, keeping the chosen device chosen</source>
        <translation>Looks for devices again and refills the list, keeping the chosen device chosen</translation>
    </message>
    <message>
        <source>The page could not be opened: no web browser was found.</source>
        <translation>The page could not be opened: no web browser was found.</translation>
    </message>
    <message>
        <source>The page could not be opened: the web browser did not take it (xdg-open ended with status %1).</source>
        <translation>The page could not be opened: the web browser did not take it (xdg-open ended with status %1).</translation>
    </message>
    <message>
        <source>Open this address in a browser yourself:</source>
        <translation>Open this address in a browser yourself:</translation>
    </message>
    <message>
        <source>Page address</source>
        <translation>Page address</translation>
    </message>
    <message>
        <source>Copy Address</source>
        <translation>Copy Address</translation>
    </message>
    <message>
        <source>Shown while the local network is searched for devices</source>
        <translation>Shown while the local network is searched for devices</translation>
    </message>
    <message>
        <source>Searching</source>
        <translation>Searching</translation>
    </message>
    <message>
        <source>Opens the chosen device&apos;s page in the web browser</source>
        <translation>Opens the chosen device&apos;s page in the web browser</translation>
    </message>
    <message>
        <source>Device</source>
        <translation>Device</translation>
    </message>
    <message>
        <source>Configure</source>
        <translation>Configure</translation>
    </message>
</context>
</TS>
