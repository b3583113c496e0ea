-- The five selects that opening an iOS 6+ sms.db, listing its chats and loading every
-- message run, as the sqlite3 tool runs them for the benchmark beside ours.
select * from chat;
select chat_id, max(date) as last from ( select cm.chat_id, m.date from chat_message_join as cm inner join message as m on cm.message_id=m.rowid ) as tmp group by chat_id;
select j.chat_id, h.* from chat_handle_join as j inner join handle as h on j.handle_id = h.rowid;
select j.chat_id, m.* from chat_message_join as j inner join message as m on j.message_id = m.rowid and m.item_type <> 4;
select ma.message_id, ma.attachment_id, cm.chat_id, a.* from message_attachment_join as ma inner join attachment as a on ma.attachment_id=a.rowid inner join chat_message_join as cm on ma.message_id=cm.message_id;
