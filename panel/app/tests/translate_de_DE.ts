<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>MainWindow</name>
    <message>
        <source>Information</source>
        <translation>Information</translation>
    </message>
    <message>
        <source>Meter</source>
        <translation>Pegel</translation>
    </message>
    <message>
        <source>Buffer Size</source>
        <translation>Puffergröße</translation>
    </message>
    <message>
        <source>Sample Rate</source>
        <translation>Abtastrate</translation>
    </message>
    <message>
        <source>Firmware Version</source>
        <translation>Firmware-Version</translation>
    </message>
    <message>
        <source>Serial Number</source>
        <translation>Seriennummer</translation>
    </message>
    <message>
        <source>PEAK HOLD</source>
        <translation>SPITZENWERT HALTEN</translation>
    </message>
    <message>
        <source>CLEAR</source>
        <translation>LÖSCHEN</translation>
    </message>
    <message>
        <source>OFF</source>
        <comment>peak hold</comment>
        <translation>AUS</translation>
    </message>
    <message>
        <source>OFF</source>
        <comment>rec function</comment>
        <translation>INAKTIV</translation>
    </message>
    <message numerus="yes">
        <source>%n samples</source>
        <translation>
            <numerusform>%n Sample</numerusform>
            <numerusform>%n Samples</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>HelpDialogs</name>
    <message>
        <source>License</source>
        <translation>Lizenz</translation>
    </message>
    <message>
        <source>About</source>
        <translation>Über</translation>
    </message>
</context>
</TS>
