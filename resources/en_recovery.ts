<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>SetMsgNumDialog</name>
    <message>
        <source>IDS_SET_MESSAGE_NUMBER</source>
        <translation>Set Contact Info for Message</translation>
    </message>
    <message>
        <source>IDS_EMPATY_PHONE_NUMNBER_PLEASE_INPUT</source>
        <translation>Phone number is required.</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_SET_UNKNOWN_MSG_NUMBER_AS_%1</source>
        <translation>Confirm to set phone number as %1 for the message?</translation>
    </message>
</context>
</TS>
