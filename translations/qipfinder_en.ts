<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>MainWindow</name>
    <message>
        <source>&amp;Window</source>
        <translation>&amp;Window</translation>
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
        <source>&amp;Refresh</source>
        <translation>&amp;Refresh</translation>
    </message>
    <message>
        <source>&amp;About NewApplication</source>
        <translation>&amp;About NewApplication</translation>
    </message>
    <message>
        <source>Search &amp;Again</source>
        <translation>Search &amp;Again</translation>
    </message>
    <message>
        <source>&amp;Open</source>
        <translation>&amp;Open</translation>
    </message>
    <message>
        <source>Search A&amp;nother Network…</source>
        <translation>Search A&amp;nother Network…</translation>
    </message>
    <message>
        <source>&amp;Filter:</source>
        <translation>&amp;Filter:</translation>
    </message>
    <message>
        <source>&amp;Help</source>
        <translation>&amp;Help</translation>
    </message>
    <message>
        <source>NewApplication &amp;Help</source>
        <translation>NewApplication &amp;Help</translation>
    </message>
    <message>
        <source>&amp;Copy All</source>
        <translation>&amp;Copy All</translation>
    </message>
    <message>
        <source>&amp;Export…</source>
        <translation>&amp;Export…</translation>
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
    <message>
        <source>Version %1 (%2)</source>
        <translation>Version %1 (%2)</translation>
    </message>
    <message>
        <source>Known devices are not kept (QipKnownDevices is off).</source>
        <translation>Known devices are not kept (QipKnownDevices is off).</translation>
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
        <source>UDP port %1 is held by process %2 of user %3, which this program does not trust, so it listens alone: answers to broadcasts reach both programs, but answers when searching another network may reach only the other one.</source>
        <translation>UDP port %1 is held by process %2 of user %3, which this program does not trust, so it listens alone: answers to broadcasts reach both programs, but answers when searching another network may reach only the other one.</translation>
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
    <message>
        <source>Also asked beyond this computer's networks: %1.</source>
        <translation>Also asked beyond this computer's networks: %1.</translation>
    </message>
    <message>
        <source>• Nothing answered from %1: the router on the way may not let UDP port %2 through in both directions and TCP port 80 to the devices, or may not route back to this computer.</source>
        <translation>• Nothing answered from %1: the router on the way may not let UDP port %2 through in both directions and TCP port 80 to the devices, or may not route back to this computer.</translation>
    </message>
    <message>
        <source>• Cannot resolve %1: the name server did not answer or does not know the name.</source>
        <translation>• Cannot resolve %1: the name server did not answer or does not know the name.</translation>
    </message>
    <message>
        <source>• This computer has no route to %1.</source>
        <translation>• This computer has no route to %1.</translation>
    </message>
    <message>
        <source>• %1 answers for more than %2 devices; the rest are left out, and your device may be among them.</source>
        <translation>• %1 answers for more than %2 devices; the rest are left out, and your device may be among them.</translation>
    </message>
</context>
<context>
    <name>QipMainWindow</name>
    <message>
        <source>Show All Device &amp;Types</source>
        <translation>Show All Device &amp;Types</translation>
    </message>
    <message>
        <source>No device matches “%1”.</source>
        <translation>No device matches “%1”.</translation>
    </message>
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
        <source>Searches a network behind a router by address, range or host name</source>
        <translation>Searches a network behind a router by address, range or host name</translation>
    </message>
    <message>
        <source>Devices</source>
        <translation>Devices</translation>
    </message>
    <message>
        <source>Filter</source>
        <translation>Filter</translation>
    </message>
    <message>
        <source>Name, address, type or ID</source>
        <translation>Name, address, type or ID</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>&amp;Open</source>
        <translation>&amp;Open</translation>
    </message>
    <message>
        <source>Copy &amp;Address</source>
        <translation>Copy &amp;Address</translation>
    </message>
    <message>
        <source>Copy Device &amp;ID</source>
        <translation>Copy Device &amp;ID</translation>
    </message>
    <message>
        <source>&amp;Copy Address</source>
        <translation>&amp;Copy Address</translation>
    </message>
    <message>
        <source>The help is not installed: %1 is missing.</source>
        <translation>The help is not installed: %1 is missing.</translation>
    </message>
    <message>
        <source>Export Devices</source>
        <translation>Export Devices</translation>
    </message>
    <message>
        <source>CSV (*.csv)</source>
        <translation>CSV (*.csv)</translation>
    </message>
    <message>
        <source>JSON lines, as qip-discover --json writes them (*.jsonl *.json)</source>
        <translation>JSON lines, as qip-discover --json writes them (*.jsonl *.json)</translation>
    </message>
    <message>
        <source>devices</source>
        <translation>devices</translation>
    </message>
    <message>
        <source>The devices could not be saved in %1: %2</source>
        <translation>The devices could not be saved in %1: %2</translation>
    </message>
    <message>
        <source>&amp;Label…</source>
        <translation>&amp;Label…</translation>
    </message>
    <message>
        <source>&amp;Forget Device</source>
        <translation>&amp;Forget Device</translation>
    </message>
</context>
<context>
    <name>QipProbeDialog</name>
    <message>
        <source>Search Another Network</source>
        <translation>Search Another Network</translation>
    </message>
    <message>
        <source>Devices behind a router do not hear this computer's broadcasts, but they answer when asked by address. Enter an address (198.51.100.20), a range from /16 to /32 (198.51.100.0/24) or a host name.</source>
        <translation>Devices behind a router do not hear this computer's broadcasts, but they answer when asked by address. Enter an address (198.51.100.20), a range from /16 to /32 (198.51.100.0/24) or a host name.</translation>
    </message>
    <message>
        <source>Network to search</source>
        <translation>Network to search</translation>
    </message>
    <message>
        <source>Always searched, as set up for this computer: %1</source>
        <translation>Always searched, as set up for this computer: %1</translation>
    </message>
    <message>
        <source>A host name: looked up when the search starts.</source>
        <translation>A host name: looked up when the search starts.</translation>
    </message>
    <message>
        <source>Neither an address, a range nor a host name.</source>
        <translation>Neither an address, a range nor a host name.</translation>
    </message>
    <message>
        <source>Not an IPv4 address: four numbers from 0 to 255, like 198.51.100.20.</source>
        <translation>Not an IPv4 address: four numbers from 0 to 255, like 198.51.100.20.</translation>
    </message>
    <message>
        <source>After the / comes a number from 16 to 32.</source>
        <translation>After the / comes a number from 16 to 32.</translation>
    </message>
    <message>
        <source>Too large a range: /16 (65,534 addresses) at most.</source>
        <translation>Too large a range: /16 (65,534 addresses) at most.</translation>
    </message>
    <message>
        <source>Addresses beginning with 0 cannot be asked.</source>
        <translation>Addresses beginning with 0 cannot be asked.</translation>
    </message>
    <message>
        <source>A multicast address cannot be asked.</source>
        <translation>A multicast address cannot be asked.</translation>
    </message>
    <message>
        <source>A reserved or broadcast address cannot be asked.</source>
        <translation>A reserved or broadcast address cannot be asked.</translation>
    </message>
    <message>
        <source>Already in your list.</source>
        <translation>Already in your list.</translation>
    </message>
    <message numerus="yes">
        <source>%n address(es) will be asked.</source>
        <translation>
            <numerusform>%n address will be asked.</numerusform>
            <numerusform>%n addresses will be asked.</numerusform>
        </translation>
    </message>
    <message>
        <source>&amp;Add</source>
        <translation>&amp;Add</translation>
    </message>
    <message>
        <source>&amp;Remove</source>
        <translation>&amp;Remove</translation>
    </message>
    <message>
        <source>&amp;Search</source>
        <translation>&amp;Search</translation>
    </message>
    <message>
        <source>&amp;Your networks, searched every time:</source>
        <translation>&amp;Your networks, searched every time:</translation>
    </message>
    <message>
        <source>&amp;Cancel</source>
        <translation>&amp;Cancel</translation>
    </message>
    <message>
        <source>Searching these networks now, but they could not be saved in %1 (is the disk full or the file read-only?), so the next start will not search them.</source>
        <translation>Searching these networks now, but they could not be saved in %1 (is the disk full or the file read-only?), so the next start will not search them.</translation>
    </message>
    <message>
        <source>C&amp;lose</source>
        <translation>C&amp;lose</translation>
    </message>
</context>
<context>
    <name>QipDeviceTableModel</name>
    <message>
        <source>— no wireless network name</source>
        <translation>— no wireless network name</translation>
    </message>
    <message>
        <source>page refused</source>
        <translation>page refused</translation>
    </message>
    <message>
        <source>page not answering</source>
        <translation>page not answering</translation>
    </message>
    <message>
        <source>page unreachable</source>
        <translation>page unreachable</translation>
    </message>
    <message>
        <source>page: %1</source>
        <translation>page: %1</translation>
    </message>
    <message>
        <source>%1 (latest read: %2)</source>
        <translation>%1 (latest read: %2)</translation>
    </message>
    <message>
        <source>not heard since the start</source>
        <translation>not heard since the start</translation>
    </message>
    <message>
        <source>— reading its page</source>
        <translation>— reading its page</translation>
    </message>
    <message>
        <source>not answering for %1 s</source>
        <translation>not answering for %1 s</translation>
    </message>
    <message>
        <source>%1 s ago</source>
        <translation>%1 s ago</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>Address</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>Type</source>
        <translation>Type</translation>
    </message>
    <message>
        <source>Device ID</source>
        <translation>Device ID</translation>
    </message>
    <message>
        <source>Last answer</source>
        <translation>Last answer</translation>
    </message>
    <message>
        <source>%1 (last time)</source>
        <translation>%1 (last time)</translation>
    </message>
    <message>
        <source>last seen just now</source>
        <translation>last seen just now</translation>
    </message>
    <message numerus="yes">
        <source>last seen %n minute(s) ago</source>
        <translation>
            <numerusform>last seen %n minute ago</numerusform>
            <numerusform>last seen %n minutes ago</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>last seen %n hour(s) ago</source>
        <translation>
            <numerusform>last seen %n hour ago</numerusform>
            <numerusform>last seen %n hours ago</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>last seen %n day(s) ago</source>
        <translation>
            <numerusform>last seen %n day ago</numerusform>
            <numerusform>last seen %n days ago</numerusform>
        </translation>
    </message>
    <message>
        <source>%1 (opened last)</source>
        <translation>%1 (opened last)</translation>
    </message>
    <message>
        <source>%1 - %2 - not answering now, %3</source>
        <translation>%1 - %2 - not answering now, %3</translation>
    </message>
    <message>
        <source>Label</source>
        <translation>Label</translation>
    </message>
</context>
</TS>
