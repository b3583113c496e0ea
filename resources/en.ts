<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>ProgressForm</name>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>IDS_NONE_INSTALL_ITUNES</source>
        <translation>Failed to load (Apple Mobile Device) framework. Plese click &lt;a href=&quot;%1&quot;&gt;HERE&lt;/a&gt; for help.</translation>
    </message>
</context>
<context>
    <name>DataSourceSelForm</name>
    <message>
        <source>IDS_TITLE_SELECT_ONE_DEVICE_TO_TRANSFER</source>
        <translation>Please select a Device.</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_ONE_DATASOURCE</source>
        <translation>Need to select a Device to continue.</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>Confirm</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>AboutUsForm</name>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
</context>
<context>
    <name>LocalDbSelForm</name>
    <message>
        <source>选择要备份到哪个数据库</source>
        <translation>Select one Database for backup</translation>
    </message>
    <message>
        <source>选择或输入新的数据库名称:</source>
        <translation>Select current database to merge or enter a new database name:</translation>
    </message>
    <message>
        <source>选择现有的数据库会将短信息附加到里面,输入新的名字会创建新的本地数据库.</source>
        <translation>Selecting current Database will merge messages;entering new DB name will create a new Database.</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>Confirm</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>IDS_PLEASE_SELECT_DATABASE_OR_INPUT_NEW_NAME</source>
        <translation>Select one Database or enter a new Database name</translation>
    </message>
    <message>
        <source>IDS_INVALID_LOCALDB_NAME</source>
        <translation>Invalid Local Database name(can't contain \ / : * ? &quot; &lt; &gt; |).</translation>
    </message>
</context>
<context>
    <name>BubbleViewMgr</name>
    <message>
        <source>IDS_SAVE_ATTACHMENT</source>
        <translation>Save Attachment</translation>
    </message>
    <message>
        <source>IDS_SAVE_ATTACHMENT_SUC</source>
        <translation>Attachment saved successfully.</translation>
    </message>
    <message>
        <source>IDS_SAVE_ATTACHMENT_FILE_ERROR</source>
        <translation>Failed to save attachment.</translation>
    </message>
    <message>
        <source>IDS_CANNOT_OPEN_FILE_%1</source>
        <translation>No program on this computer opens this file, so it was not opened. It is here:&lt;br/&gt;%1</translation>
    </message>
</context>
<context>
    <name>CountrySelForm</name>
    <message>
        <source>IDS_SEL_YOUR_PHONE_COUNTRY</source>
        <translation>Select your country code:</translation>
    </message>
    <message>
        <source>IDS_CANT_CONTINUE_WITHOUT_SEL_ONE_COUNTRY</source>
        <translation>Please select a cuntry code first to continue.</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_SEL_COUNTRY_%1</source>
        <translation>Confirm to select %1?</translation>
    </message>
</context>
<context>
    <name>ItemModelMain</name>
    <message>
        <source>IDS_ROOT_DEVICE</source>
        <translation>Devices</translation>
    </message>
    <message>
        <source>IDS_ROOT_LOCALDB</source>
        <translation>Local Databases</translation>
    </message>
</context>
<context>
    <name>ItemModelSms</name>
    <message>
        <source>Date</source>
        <translation>Date</translation>
    </message>
    <message>
        <source>Flag</source>
        <translation>Flag</translation>
    </message>
    <message>
        <source>Contact</source>
        <translation>Contact</translation>
    </message>
    <message>
        <source>Content</source>
        <translation>Content</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>IDS_CAN_NOT_FOUND_AND_MESSAGES</source>
        <translation>Can't find any Message.</translation>
    </message>
    <message>
        <source>IDS_CAN_NOT_FOUNDSMS_KEYWORD_%0</source>
        <translation>Find no Message with keyword %1.</translation>
    </message>
    <message>
        <source>IDS_CAN_NOT_FOUNDCONTACT_KEYWORD_%0</source>
        <translation>Find no contact with keyword %1.</translation>
    </message>
    <message>
        <source>IDS_NO_WEB_HOST</source>
        <translation>This copy of the program was built without the address of its web site, so it has no page to open.</translation>
    </message>
    <message>
        <source>IDS_CANNOT_OPEN_WEB_PAGE_%1</source>
        <translation>No program on this computer opens web pages, so this page was not opened:&lt;br/&gt;%1</translation>
    </message>
    <message>
        <source>IDS_CANNOT_OPEN_FOLDER_%1</source>
        <translation>No program on this computer shows folders, so this folder was not opened:&lt;br/&gt;%1</translation>
    </message>
</context>
</TS>
