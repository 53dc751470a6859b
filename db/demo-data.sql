-- Demo contents of the system database: enough for the whole QHVLogger process to
-- run on one workstation. Loads into SQLite and PostgreSQL alike.

INSERT INTO trx_version (current_version, current_versionname) VALUES (412, 'NTRX 4.12 demo');

-- The supervisor and the two loggers; the supervisor finds the loggers' names by
-- their fixed pids 99 and 106.
INSERT INTO process (pid, processname) VALUES (90, 'ORVANTA_CTRL');
INSERT INTO process (pid, processname) VALUES (99, 'QHVLOGGER');
INSERT INTO process (pid, processname) VALUES (106, 'P2XLOGGER');

-- The supervisor's sockets: its control port (read, server) and the operator
-- status port it reports to (write, client).
INSERT INTO process_socket (id, pid, ip, port, udp_tcp, read_write, server_client, description)
    VALUES (1, 90, '127.0.0.1', 5076, 1, 1, 1, 'control sentences');
INSERT INTO process_socket (id, pid, ip, port, udp_tcp, read_write, server_client, description)
    VALUES (2, 90, '127.0.0.1', 4002, 1, 2, 2, 'operator status');

INSERT INTO users (id, name) VALUES (1, 'QV user');

-- One parameter row per logger; the P2X logger has logging selected, so it starts
-- logging by itself.
INSERT INTO qhv_param (id, logger, logging_enabled, logging_selected, dir_value_enabled, dir_value,
                       file_value, browse_enabled, browse_selected, line_interval_value_enabled,
                       line_interval_value, apply_enabled, apply_selected)
    VALUES (1, 99, 1, 0, 1, 'C:\survey\qhv', 'heave__TOKY__TOKM__TOKD__TOKH__TOKN_.qhv',
            1, 0, 1, '30', 1, 0);
INSERT INTO qhv_param (id, logger, logging_enabled, logging_selected, dir_value_enabled, dir_value,
                       file_value, browse_enabled, browse_selected, line_interval_value_enabled,
                       line_interval_value, apply_enabled, apply_selected)
    VALUES (1, 106, 1, 1, 1, 'C:\survey\p2x', 'p2x__TOKY__TOKM__TOKD__TOKH__TOKN__TOKS_.p2x',
            1, 0, 1, '30', 1, 0);

-- Operator messages sent by QHVLogger, in English (1) and Norwegian (3). The
-- placeholders match the values each number is sent with: 1410 and 1440 the log
-- file path, 1415 the limit in percent and the expected and received rates.
INSERT INTO messages (number, lang, mess, type, typeLogging) VALUES
    (1410, 1, 'QHV logger: cannot open log file %s', 2, 3),
    (1410, 3, 'QHV-logger: kan ikke apne loggfil %s', 2, 3),
    (1411, 1, 'QHV logger: cannot create the output stream for .qhv log files, process ends', 3, 3),
    (1411, 3, 'QHV-logger: kan ikke lage utdatastrom for .qhv-loggfiler, prosessen avsluttes', 3, 3),
    (1413, 1, 'QHV logger: cannot read its parameters from the database', 2, 3),
    (1413, 3, 'QHV-logger: kan ikke lese parametrene fra databasen', 2, 3),
    (1414, 1, 'QHV logger: no heave data received', 2, 3),
    (1414, 3, 'QHV-logger: ingen hivdata mottatt', 2, 3),
    (1415, 1, 'QHV logger: heave data rate below %d%% of expected (expected %.2f Hz, received %.2f Hz)', 2, 3),
    (1415, 3, 'QHV-logger: hivdatarate under %d%% av forventet (forventet %.2f Hz, mottatt %.2f Hz)', 2, 3),
    (1416, 1, 'QHV logger: input queue full, heave data dropped', 2, 3),
    (1416, 3, 'QHV-logger: inndatakoen er full, hivdata forkastet', 2, 3),
    (1436, 1, 'Orvanta control: cannot read the socket table from the database', 3, 3),
    (1436, 3, 'Orvanta-kontroll: kan ikke lese sockettabellen fra databasen', 3, 3),
    (1437, 1, 'Orvanta control: control queue full, control sentences dropped', 2, 3),
    (1437, 3, 'Orvanta-kontroll: kontrollkoen er full, kontrollsetninger forkastet', 2, 3),
    (1438, 1, 'Orvanta control: %s logging resumed after an abnormal end of the process (%s)', 2, 3),
    (1438, 3, 'Orvanta-kontroll: %s-logging gjenopptatt etter unormal avslutning av prosessen (%s)', 2, 3),
    (1440, 1, 'P2X logger: cannot open log file %s', 2, 3),
    (1440, 3, 'P2X-logger: kan ikke apne loggfil %s', 2, 3),
    (1441, 1, 'P2X logger: cannot create the output stream for .p2x log files, process ends', 3, 3),
    (1441, 3, 'P2X-logger: kan ikke lage utdatastrom for .p2x-loggfiler, prosessen avsluttes', 3, 3),
    (1443, 1, 'P2X logger: cannot read its parameters from the database', 2, 3),
    (1443, 3, 'P2X-logger: kan ikke lese parametrene fra databasen', 2, 3),
    (1444, 1, 'P2X logger: no P2X data received', 2, 3),
    (1444, 3, 'P2X-logger: ingen P2X-data mottatt', 2, 3),
    (1445, 1, 'P2X logger: input queue full, P2X data dropped', 2, 3),
    (1445, 3, 'P2X-logger: inndatakoen er full, P2X-data forkastet', 2, 3);

-- Tokens. Ids: floats 1000-, integers 2000-, texts 3000-; descriptions follow the
-- value id in languages 1 and 3.
INSERT INTO integer_values (id, value) VALUES
    (2001, 0),      -- MAIN_W_LOGGING_STATUS_ON_OFF
    (2101, 30),     -- RUNT_PARAM_QHV_INTERVAL_TIME (minutes)
    (2102, 31102),  -- RUNT_PARAM_QHV_LOG_SOURCE_PORT
    (2103, 20),     -- RUNT_PARAM_QHV_MAX_WAIT_TIME (s)
    (2104, 10),     -- RUNT_PARAM_QHV_INPUT_FREQ_INTERVAL_LENGTH (s)
    (2105, 10),     -- RUNT_PARAM_QHV_INPUT_FREQ_EXPECTED (Hz)
    (2106, 80),     -- RUNT_PARAM_QHV_INPUT_FREQ_LIMIT (percent)
    (2107, 60),     -- RUNT_PARAM_QHV_INPUT_FREQ_PAUSE_LENGTH (s)
    (2201, 30),     -- RUNT_PARAM_P2X_INTERVAL_TIME (minutes)
    (2202, 31202),  -- RUNT_PARAM_P2X_LOG_SOURCE_PORT
    (2203, 90);     -- RUNT_PARAM_P2X_MAX_WAIT_TIME (s)

INSERT INTO varchar_values (id, value) VALUES
    (3101, 'C:\survey\qhv'),
    (3102, 'heave__TOKY__TOKM__TOKD__TOKH__TOKN_.qhv'),
    (3201, 'C:\survey\p2x'),
    (3202, 'p2x__TOKY__TOKM__TOKD__TOKH__TOKN__TOKS_.p2x');

INSERT INTO token_value (token, value_id, description_id) VALUES
    ('MAIN_W_LOGGING_STATUS_ON_OFF', 2001, 2001),
    ('RUNT_PARAM_QHV_DIR', 3101, 3101),
    ('RUNT_PARAM_QHV_FILE', 3102, 3102),
    ('RUNT_PARAM_QHV_INTERVAL_TIME', 2101, 2101),
    ('RUNT_PARAM_QHV_LOG_SOURCE_PORT', 2102, 2102),
    ('RUNT_PARAM_QHV_MAX_WAIT_TIME', 2103, 2103),
    ('RUNT_PARAM_QHV_INPUT_FREQ_INTERVAL_LENGTH', 2104, 2104),
    ('RUNT_PARAM_QHV_INPUT_FREQ_EXPECTED', 2105, 2105),
    ('RUNT_PARAM_QHV_INPUT_FREQ_LIMIT', 2106, 2106),
    ('RUNT_PARAM_QHV_INPUT_FREQ_PAUSE_LENGTH', 2107, 2107),
    ('RUNT_PARAM_P2X_DIR', 3201, 3201),
    ('RUNT_PARAM_P2X_FILE', 3202, 3202),
    ('RUNT_PARAM_P2X_INTERVAL_TIME', 2201, 2201),
    ('RUNT_PARAM_P2X_LOG_SOURCE_PORT', 2202, 2202),
    ('RUNT_PARAM_P2X_MAX_WAIT_TIME', 2203, 2203);

-- Language-specific description ids: language 1 uses 10000 + id, language 3 30000 + id.
INSERT INTO descriptions_language (id, language, description_id)
    SELECT description_id, 1, 10000 + description_id FROM token_value;
INSERT INTO descriptions_language (id, language, description_id)
    SELECT description_id, 3, 30000 + description_id FROM token_value;

INSERT INTO descriptions (id, description) VALUES
    (12001, 'Logging status messages on (1) or off (0)'),
    (32001, 'Meldinger om loggestatus pa (1) eller av (0)'),
    (13101, 'Directory of the heave log files'),
    (33101, 'Katalog for hivloggfilene'),
    (13102, 'File-name template of the heave log files'),
    (33102, 'Filnavnmal for hivloggfilene'),
    (12101, 'Minutes per heave log file'),
    (32101, 'Minutter per hivloggfil'),
    (12102, 'UDP port of the heave datagrams'),
    (32102, 'UDP-port for hivdatagrammene'),
    (12103, 'Seconds without heave data before a warning'),
    (32103, 'Sekunder uten hivdata for en advarsel'),
    (12104, 'Seconds per heave input rate window'),
    (32104, 'Sekunder per vindu for hivdatarate'),
    (12105, 'Expected heave datagrams per second'),
    (32105, 'Forventede hivdatagrammer per sekund'),
    (12106, 'Lowest heave input rate in percent of expected'),
    (32106, 'Laveste hivdatarate i prosent av forventet'),
    (12107, 'Seconds of pause after a heave input rate warning'),
    (32107, 'Sekunder pause etter en advarsel om hivdatarate'),
    (13201, 'Directory of the P2X log files'),
    (33201, 'Katalog for P2X-loggfilene'),
    (13202, 'File-name template of the P2X log files'),
    (33202, 'Filnavnmal for P2X-loggfilene'),
    (12201, 'Minutes per P2X log file'),
    (32201, 'Minutter per P2X-loggfil'),
    (12202, 'UDP port of the P2X sentences'),
    (32202, 'UDP-port for P2X-setningene'),
    (12203, 'Seconds without P2X data before a warning'),
    (32203, 'Sekunder uten P2X-data for en advarsel');
