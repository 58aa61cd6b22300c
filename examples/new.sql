-- The newer sample database: one record changed, one added, one retired.
CREATE TABLE records(key TEXT PRIMARY KEY NOT NULL, data BLOB NOT NULL) WITHOUT ROWID;
PRAGMA application_id = 0x564F5A49;
PRAGMA user_version = 1;
INSERT INTO records VALUES
  ('levels/forest', CAST('forest level, version 2' AS BLOB)),
  ('levels/desert', CAST('desert level' AS BLOB)),
  ('levels/swamp', CAST('a new swamp level' AS BLOB)),
  ('sounds/wind', X'52494646000000');
