-- The selects that opening a current phone's sms.db (the layout smsdb_generate writes with
-- "phone"), listing its chats and loading every message run, in the order the program runs
-- them and with the columns it names, for the sqlite3 tool to run beside ours. The program
-- reads the messages in slices and the attachments in two halves (each of its two threads
-- running the attachment select whole), on threads of their own, and the dates beside the
-- chat join, which it reads once for the chats' dates and the messages; here one select
-- reads each.
select * from sqlite_master where type='table';
select date from message where date <> 0 order by rowid desc limit 1;
select created_date from attachment where created_date <> 0 order by rowid desc limit 1;
select * from chat;
select max(rowid) from message;
select rowid, ifnull(date, -9223372036854775808) from message;
select max(rowid) from message;
select message_id, chat_id from chat_message_join where message_id is not null;
select j.chat_id, h.* from chat_handle_join as j inner join handle as h on j.handle_id = h.rowid;
pragma data_version;
pragma table_info(message);
select m."rowid", m."guid", m."text", m."replace", m."service_center", m."handle_id", m."subject", m."country", m."attributedBody", m."version", m."type", m."service", m."account", m."account_guid", m."error", m."date", m."date_read", m."date_delivered", m."is_delivered", m."is_finished", m."is_emote", m."is_from_me", m."is_empty", m."is_delayed", m."is_auto_reply", m."is_prepared", m."is_read", m."is_system_message", m."is_sent", m."has_dd_results", m."is_service_message", m."is_forward", m."was_downgraded", m."is_archive", m."cache_has_attachments", m."cache_roomnames", m."was_data_detected", m."was_deduplicated", m."is_audio_message", m."is_played", m."date_played", m."item_type", m."other_handle", m."group_title", m."group_action_type", m."share_status", m."share_direction", m."is_expirable", m."expire_state", m."message_action_type" from message as m where m.item_type <> 4 order by m.rowid desc;
pragma table_info(attachment);
select ma.message_id, ma.attachment_id, a."rowid", a."guid", a."created_date", a."start_date", a."filename", a."uti", a."mime_type", a."transfer_state", a."is_outgoing", a."user_info", a."transfer_name", a."total_bytes" from message_attachment_join as ma inner join attachment as a on ma.attachment_id=a.rowid order by ma.rowid desc;
