<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>AttachmentExtractThread</name>
    <message>
        <source>IDS_EXTRACTING_MEDIA_FILES</source>
        <translation>Extracting MMS attachment now.Please wait...</translation>
    </message>
    <message>
        <source>IDS_SUC_EXTRACT_%1_MEDIA_FILES_TO_%2</source>
        <translation>Successfully extacted %1 MMS attachment to %2.</translation>
    </message>
</context>
<context>
    <name>DeleteMMSThread</name>
    <message>
        <source>IDS_DELETING_MMS</source>
        <translation>Deleting Messages...</translation>
    </message>
    <message>
        <source>IDS_SUC_DELETE_%1_MESSAGES</source>
        <translation>Successfully Deleted %1 Messages.</translation>
    </message>
</context>
<context>
    <name>IOS6RestoreMessagesThread</name>
    <message>
        <source>IDS_MERGING_IOS6_MESSAGES</source>
        <translation>Saving messages to iPhone...</translation>
    </message>
    <message>
        <source>IDS_NO_VALID_MESSAGE_RESTORE_TO_IOS_%1_UNKNOWN_CHAT_MSG</source>
        <translation>No message for recovering. Only found %1 messages with unknown contact info. Please right click the messages to set contact info first and try again.</translation>
    </message>
    <message>
        <source>IDS_MERGE_DONE_AFTER_CANCEL_%1</source>
        <translation>The backup was already being changed when you cancelled, so the work was finished: %1 messages were written into it.</translation>
    </message>
</context>
<context>
    <name>UpdateLocalDbThread</name>
    <message>
        <source>IDS_UPDATING_LOCALDB_%1_MESSAGES</source>
        <translation>Updating local database %1 messages...</translation>
    </message>
</context>
</TS>
