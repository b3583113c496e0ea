<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>IOSLoadFileRelayThread</name>
    <message>
        <source>IDS_LOADING_IOS_DATABASES</source>
        <translation>Loading messages from iPhone...</translation>
    </message>
</context>
<context>
    <name>IOSMobileBackupThread</name>
    <message>
        <source>IDS_BACKING_UP_IOS</source>
        <translation>Backing up iPhone...</translation>
    </message>
</context>
<context>
    <name>IOSMobileRestoreThread</name>
    <message>
        <source>IDS_RESTORING_BACKUP_TO_IOS</source>
        <translation>Restoring iPhone...</translation>
    </message>
</context>
<context>
    <name>PhoneCountry</name>
    <message>
        <source>IDS_ANDROID_%1_CANT_READ_MMC_NUMBER</source>
        <translation>Failed to load country code from your phone. Please click &quot;OK&quot; button to select a country code manually.</translation>
    </message>
</context>
</TS>
