<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>BackupSMSThread</name>
    <message>
        <source>IDS_BACKING_UP_SMS</source>
        <translation>Backing up Messages to Local Database...</translation>
    </message>
    <message>
        <source>SMS: %1/%2</source>
        <translation>Messages: %1/%2</translation>
    </message>
    <message>
        <source>IDS_SUC_BACKUP_%1_SMS</source>
        <translation>Successfully Backup %1 Messages to local Database.</translation>
    </message>
</context>
<context>
    <name>ExportMessagesThread</name>
    <message>
        <source>IDS_EXPORTING_MESSAGES_TO_FILE</source>
        <translation>Exporting Messages...</translation>
    </message>
    <message>
        <source>Messages: %1/%2</source>
        <translation>Messages: %1/%2</translation>
    </message>
    <message>
        <source>IDS_SUC_EXPORT_%1_MMS</source>
        <translation>Successfully exported %1 Messages.</translation>
    </message>
</context>
<context>
    <name>MMSPrinter</name>
    <message>
        <source>IDS_PRINT_MMS</source>
        <translation>Print Messages</translation>
    </message>
</context>
</TS>
