-- The older sample database: a record database is an SQLite file with one table.
CREATE TABLE records(key TEXT PRIMARY KEY NOT NULL, data BLOB NOT NULL) WITHOUT ROWID;
PRAGMA application_id = 0x564F5A49;
PRAGMA user_version = 1;
INSERT INTO records VALUES
  ('levels/forest', CAST('forest level, version 1' AS BLOB)),
  ('levels/desert', CAST('desert level' AS BLOB)),
  ('sounds/wind', X'52494646000000'),
  ('retired/cave', CAST('only the old database has this' AS BLOB));
