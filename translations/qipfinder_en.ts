<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>MainWindow</name>
    <message>
        <source>Configure</source>
        <translation>Configure</translation>
    </message>
    <message>
        <source>Window</source>
        <translation>Window</translation>
    </message>
    <message>
        <source>About NewApplication</source>
        <translation>About NewApplication</translation>
    </message>
    <message>
        <source>Quit NewApplication</source>
        <translation>Quit NewApplication</translation>
    </message>
    <message>
        <source>Minimize NewApplication</source>
        <translation>Minimize NewApplication</translation>
    </message>
</context>
<context>
    <name>QipController</name>
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
</TS>
