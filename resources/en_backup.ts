<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>ITunesCacheSMSThread</name>
    <message>
        <source>IDS_LOADING_ITUNES_BACKUP</source>
        <translation>Loading iTunes backup...</translation>
    </message>
    <message>
        <source>IDS_NOT_CONTAIN_SMS_DB_IN_ITUNES_BACKUP</source>
        <translation>Found no message database file in this iTunes backup.</translation>
    </message>
    <message>
        <source>IDS_CACHING_BACKUP_FILE_%1</source>
        <translation>Saving %1...</translation>
    </message>
</context>
<context>
    <name>LoadItunesBackupDlg</name>
    <message>
        <source>IDS_SELECT_AN_ITUNES_BACKUP_TO_LOAD</source>
        <translation>Please select an iTunes Backup to load.</translation>
    </message>
    <message>
        <source>IDS_NO_BACKUP_LISTED_THERE_CLICK_&lt;a href=&quot;#&quot;&gt;Here&lt;/a&gt;_ADD</source>
        <translation>Can&apos;t find your iTunes Backup on the list? Please manually import it by clicking &lt;a href=&quot;#&quot;&gt;HERE&lt;/a&gt;.</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_ONE_ITUNES_BACKUP</source>
        <translation>Need to select an iTunes Backup to continue.</translation>
    </message>
    <message>
        <source>IDS_LOAD_BK_EXISTS</source>
        <translation>This iTunes Backup has been listed on the left.</translation>
    </message>
</context>
<context>
    <name>PasscodeDlg</name>
    <message>
        <source>IDS_PLEASE_ENTER_PASSWORD_TO_LOAD_BACKUP</source>
        <translation>This iTunes Backup is encrypted. Please enter password:</translation>
    </message>
    <message>
        <source>IDS_ENTER_PASSWORD</source>
        <translation>Enter password</translation>
    </message>
    <message>
        <source>IDS_PWD_IS_NULL</source>
        <translation>Password is required.</translation>
    </message>
    <message>
        <source>IDS_INVALID_PASSWORD</source>
        <translation>Invalid password.</translation>
    </message>
</context>
</TS>
