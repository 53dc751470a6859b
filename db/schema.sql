-- The system database as QHVLogger sees it: the tables and the socket view its
-- queries read, the two arrived-message tables it writes, and the token tables
-- the token store reads when its token file is missing.
--
-- One file for both back ends (SQLite through the SQLite ODBC driver, PostgreSQL
-- through psqlODBC), so it keeps to what both understand:
--   * names are unquoted; PostgreSQL folds them to lower case, and the queries
--     (which write e.g. typeLogging or arrivedMessages) are folded the same way;
--   * values the process reads as unsigned 32-bit are bigint (PostgreSQL's
--     integer is signed 32-bit); floating point is double precision;
--   * no column is compared with a text in the queries except through a quoted
--     literal, which both accept for an integer column.

CREATE TABLE trx_version (
    current_version     bigint       NOT NULL,
    current_versionname varchar(199) NOT NULL
);

CREATE TABLE process (
    pid         bigint       NOT NULL PRIMARY KEY,
    processname varchar(299) NOT NULL UNIQUE
);

-- Sockets of the processes; read through process_socket_v by process name.
CREATE TABLE process_socket (
    id            bigint      NOT NULL PRIMARY KEY,
    pid           bigint      NOT NULL REFERENCES process (pid),
    ip            varchar(99) NOT NULL,
    port          bigint      NOT NULL,
    udp_tcp       bigint      NOT NULL,  -- 1 UDP, 2 TCP
    read_write    bigint      NOT NULL,  -- 1 read, 2 write
    server_client bigint      NOT NULL,  -- 1 server, 2 client
    description   varchar(299)
);

CREATE VIEW process_socket_v AS
    SELECT process.processname, process_socket.id, process_socket.ip, process_socket.port,
           process_socket.udp_tcp, process_socket.read_write, process_socket.server_client,
           process_socket.pid
      FROM process_socket
      JOIN process ON process.pid = process_socket.pid;

CREATE TABLE users (
    id   bigint       NOT NULL PRIMARY KEY,
    name varchar(299) NOT NULL UNIQUE
);

-- Logging parameters per user profile (id = users.id) and logger (logger = process.pid).
CREATE TABLE qhv_param (
    id                          bigint       NOT NULL REFERENCES users (id),
    logger                      bigint       NOT NULL,
    logging_enabled             bigint       NOT NULL DEFAULT 1,
    logging_selected            bigint       NOT NULL DEFAULT 0,
    dir_value_enabled           bigint       NOT NULL DEFAULT 1,
    dir_value                   varchar(299) NOT NULL DEFAULT '',
    file_value                  varchar(299) NOT NULL DEFAULT '',
    browse_enabled              bigint       NOT NULL DEFAULT 1,
    browse_selected             bigint       NOT NULL DEFAULT 0,
    line_interval_value_enabled bigint       NOT NULL DEFAULT 1,
    line_interval_value         varchar(9)   NOT NULL DEFAULT '',
    apply_enabled               bigint       NOT NULL DEFAULT 1,
    apply_selected              bigint       NOT NULL DEFAULT 0,
    PRIMARY KEY (id, logger)
);

-- Operator message texts per number and language, with their types.
CREATE TABLE messages (
    number      bigint NOT NULL,
    lang        bigint NOT NULL,
    mess        text   NOT NULL,
    type        bigint NOT NULL DEFAULT 1,
    typeLogging bigint NOT NULL DEFAULT 1,
    PRIMARY KEY (number, lang)
);

-- Arrivals of operator messages. A text row belongs to the arrival with the same
-- date and millisecond of the day; several writers may use the same millisecond,
-- so neither table has a unique key.
CREATE TABLE arrivedMessages (
    dateYYYYMMDD          integer NOT NULL,
    millisecSinceMidnight integer NOT NULL,
    number                integer NOT NULL
);
CREATE INDEX arrivedMessages_time ON arrivedMessages (dateYYYYMMDD, millisecSinceMidnight);

CREATE TABLE arrivedMessagesString (
    dateYYYYMMDD          integer NOT NULL,
    millisecSinceMidnight integer NOT NULL,
    lang                  integer NOT NULL,
    mess                  text    NOT NULL
);
CREATE INDEX arrivedMessagesString_time ON arrivedMessagesString (dateYYYYMMDD, millisecSinceMidnight);

-- Typed parameter tokens: a token's value is the row whose id equals its value_id
-- in one of the three value tables; its description goes through
-- descriptions_language (id = description_id, per language) to descriptions.
CREATE TABLE token_value (
    token          varchar(299) NOT NULL PRIMARY KEY,
    value_id       bigint       NOT NULL,
    description_id bigint       NOT NULL DEFAULT 0
);

CREATE TABLE float_values (
    id    bigint           NOT NULL PRIMARY KEY,
    value double precision NOT NULL
);

CREATE TABLE integer_values (
    id    bigint  NOT NULL PRIMARY KEY,
    value integer NOT NULL
);

CREATE TABLE varchar_values (
    id    bigint       NOT NULL PRIMARY KEY,
    value varchar(299) NOT NULL
);

CREATE TABLE descriptions_language (
    id             bigint NOT NULL,
    language       bigint NOT NULL,
    description_id bigint NOT NULL,
    PRIMARY KEY (id, language)
);

CREATE TABLE descriptions (
    id          bigint       NOT NULL PRIMARY KEY,
    description varchar(303) NOT NULL
);
