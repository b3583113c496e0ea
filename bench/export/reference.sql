-- The rows and columns of the CSV export (date, send, person, number, content), in date
-- order, as sqlite3 -csv writes them from the database that smsdb_generate makes (a current
-- phone's, with times in nanoseconds).
select strftime('%Y-%m-%d %H:%M:%S', m.date / 1000000000 + 978307200, 'unixepoch',
                'localtime') as date,
       m.is_from_me as send,
       case when g.n > 1 then c.chat_identifier else '' end as person,
       case when g.n > 1 then c.chat_identifier else h.id end as number,
       m.text as content
from message m
join chat_message_join cm on cm.message_id = m.ROWID
join chat c on c.ROWID = cm.chat_id
join (select chat_id, count(*) as n from chat_handle_join group by chat_id) g on g.chat_id = c.ROWID
left join handle h on h.ROWID = m.handle_id
order by m.date, m.ROWID;
