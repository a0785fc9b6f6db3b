-- Template of a sensor's own measurement store. The gateway copies it to /etc/data/<sensor id>.sqlite
-- when a sensor joins; the services that record measurements fill it.
PRAGMA user_version = 1;

CREATE TABLE channel (
  channel_index INTEGER PRIMARY KEY,          -- 0..9, as the sensor numbers its channels
  name          TEXT NOT NULL,
  type_code     INTEGER NOT NULL,             -- units map type code
  unit          TEXT NOT NULL DEFAULT ''
);

CREATE TABLE measurement (
  id            INTEGER PRIMARY KEY AUTOINCREMENT,
  channel_index INTEGER NOT NULL REFERENCES channel(channel_index),
  sensor_time   INTEGER NOT NULL,             -- seconds since 2000-01-01 00:00:00 UTC
  value         REAL,                         -- NULL when the channel reported an error
  error_code    INTEGER NOT NULL DEFAULT 0,
  uploaded      INTEGER NOT NULL DEFAULT 0    -- 1 once the cloud has the value
);
CREATE INDEX measurement_by_time ON measurement(channel_index, sensor_time);
CREATE INDEX measurement_pending ON measurement(uploaded) WHERE uploaded = 0;

CREATE TABLE alarm (
  id            INTEGER PRIMARY KEY AUTOINCREMENT,
  channel_index INTEGER NOT NULL,
  raised_at     INTEGER NOT NULL,             -- Unix time
  cleared_at    INTEGER,
  error_code    INTEGER NOT NULL
);

CREATE TABLE device_status (
  recorded_at   INTEGER PRIMARY KEY,          -- Unix time
  rssi          INTEGER,
  battery       REAL,
  power_source  INTEGER,
  op_temp       INTEGER,
  op_voltage    REAL
);
