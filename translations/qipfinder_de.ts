<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>MainWindow</name>
    <message>
        <source>Configure</source>
        <translation>Konfigurieren</translation>
    </message>
    <message>
        <source>Window</source>
        <translation>Fenster</translation>
    </message>
    <message>
        <source>About NewApplication</source>
        <translation>Über NewApplication</translation>
    </message>
    <message>
        <source>Quit NewApplication</source>
        <translation>NewApplication beenden</translation>
    </message>
    <message>
        <source>Minimize NewApplication</source>
        <translation>NewApplication minimieren</translation>
    </message>
</context>
<context>
    <name>QipController</name>
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
</TS>
