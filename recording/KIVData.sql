-- The table the logger inserts into. The logger never creates it: run this once, e.g.
--   sqlite3 Log.mdb < KIVData.sql
-- ID gives queries the arrival order; the logger itself fills only LogDate and LogText.
create table KIVData (ID integer primary key, LogDate text not null, LogText text not null);
