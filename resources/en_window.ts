<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>MainWindow</name>
    <message>
        <source>IDS_SUC_CLEAR_CACHE</source>
        <translation>Successfully cleared cache files.</translation>
    </message>
    <message>
        <source>IDS_CLEAR_CACHE_FAILED_%1</source>
        <translation>Failed to delete these cache files:&lt;br/&gt;%1</translation>
    </message>
</context>
<context>
    <name>DeleteFlow</name>
    <message>
        <source>IDS_CONFIRM_DEL_SEL_MMS</source>
        <translation>Confirm to delete the selected Messages?</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_DEL_CHAT_MMS</source>
        <translation>Confirm to delete Messages with this contact?</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_DEL_THIS_LOCALDB</source>
        <translation>Confirm to delete this Database?</translation>
    </message>
    <message>
        <source>IDS_DEL_LOCALDB_SUC</source>
        <translation>Successfully Deleted Database %0.</translation>
    </message>
    <message>
        <source>IDS_DEL_LOCALDB_FAILED_%0</source>
        <translation>Failed to delete Database %0: some of its files could not be removed.</translation>
    </message>
</context>
<context>
    <name>OutputFlow</name>
    <message>
        <source>IDS_TITLE_SEL_OUTPUT_FOLDER_EXTRACT_MEDIA_FILES</source>
        <translation>Please select Save Path for media files.</translation>
    </message>
    <message>
        <source>IDS_TITLE_EXTRACT_MEDIA_FILES</source>
        <translation>Extracting media files now...</translation>
    </message>
    <message>
        <source>IDS_SEL_EXPORT_MESSAGES_PATH</source>
        <translation>Please select Save Path for messages.</translation>
    </message>
</context>
<context>
    <name>RestoreFlow</name>
    <message>
        <source>IDS_CANT_EXPORT_ITUNES_BACKUP_IS_ENCRYPT</source>
        <translation>Failed to export messages to iTunes backup because your current iTunes backup is encrypted.</translation>
    </message>
    <message>
        <source>IDS_CANT_RESTORE_IOS_VERSION_BELOW_60</source>
        <translation>Failed to recover. Only iOS 6 or above is supported.</translation>
    </message>
    <message>
        <source>IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS</source>
        <translation>Successfully recovered %1 messages to iPhone.</translation>
    </message>
    <message>
        <source>IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS_%2_UNKNOWN_NUMBER</source>
        <translation>Successfully recovered %1 messages to iPhone. %2 messages with unknown contact info can&apos;t be recovered. Please right click the messages to set contact info to try again.</translation>
    </message>
    <message>
        <source>IDS_RESTORE_IOS_TIPS_FIND_MY_IPHONE_MUST_OFF</source>
        <translation>1) If your iPhone is protected with a passcode, please enter your passcode on iPhone first.&lt;br/&gt;2) Please make sure you&apos;ve turned off &quot;iCloud Backup&quot; on your iPhone.&lt;br/&gt;3) &quot;Find My iPhone&quot; must be disabled before restoring. Check %1</translation>
    </message>
    <message>
        <source>IDS_NOTHING_RESTORED_TO_IOS</source>
        <translation>Nothing was restored to your iPhone: the transfer was cancelled before the restore.</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>IDS_SEL_ONE_IOS_DEVICE</source>
        <translation>Please select an iPhone:</translation>
    </message>
</context>
</TS>
