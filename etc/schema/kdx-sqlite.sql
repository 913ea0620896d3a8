-- The KDX database for TARVELL on SQLite (through the SQLite ODBC driver).
--
-- Run by tools/kdx-db (or: sqlite3 /path/to/kdx.db < kdx-sqlite.sql). Names are unquoted
-- and upper case. TARVELL reads and writes FILELIST (its data files and loop-file
-- segments) and reads SITECHAN (sampling rates); the other tables are the rest of the KDX
-- schema, whose names the program knows but never uses. Running the script again on an
-- existing database changes nothing.

-- One row per data file (CPATH relative to the data root, FOFF 512) or per loop-file
-- segment (CPATH the loop file's full path). CREATER 'DUVODIZEREVE' marks TARVELL's rows.
CREATE TABLE IF NOT EXISTS FILELIST (
    NINDEX   INTEGER PRIMARY KEY,
    STA      VARCHAR(16),
    TBEGIN   DOUBLE,
    TQTY     DOUBLE,
    SPS      DOUBLE,
    GAIN     INTEGER,
    CPATH    VARCHAR(1024),
    COMMENT  VARCHAR(255),
    DATATYPE INTEGER,
    CH       VARCHAR(16),
    CREATER  VARCHAR(16),
    LDDATE   TIMESTAMP,
    FOFF     INTEGER,
    CALIB    DOUBLE,
    CALPER   DOUBLE,
    LCODE    VARCHAR(16)
);

-- The sampling rate of every channel TARVELL receives comes from SPS here.
CREATE TABLE IF NOT EXISTS SITECHAN (
    NINDEX    INTEGER PRIMARY KEY,
    STA       VARCHAR(16),
    CHAN      VARCHAR(16),
    NGROUP    INTEGER,
    CHANINDEX INTEGER,
    EDEPTH    DOUBLE,
    LAT       DOUBLE,
    LON       DOUBLE,
    SPS       DOUBLE,
    HANG      DOUBLE,
    VANG      DOUBLE,
    DESCR     VARCHAR(255),
    CALIBFILE VARCHAR(255),
    LDDATE    TIMESTAMP,
    LCODE     VARCHAR(16)
);

CREATE TABLE IF NOT EXISTS SITE (
    NINDEX  INTEGER PRIMARY KEY,
    STA     VARCHAR(16),
    NGROUPS INTEGER,
    ELEV    DOUBLE,
    LAT     DOUBLE,
    LON     DOUBLE,
    DESCR   VARCHAR(255),
    LDDATE  TIMESTAMP,
    DNORTH  DOUBLE,
    DEAST   DOUBLE,
    REFSTA  VARCHAR(16)
);

CREATE TABLE IF NOT EXISTS ORIGIN (
    EVENTID    INTEGER PRIMARY KEY,
    LAT        DOUBLE,
    LON        DOUBLE,
    EDEPTH     DOUBLE,
    ORIGINTIME DOUBLE,
    RMS        DOUBLE,
    DH         DOUBLE,
    DZ         DOUBLE,
    COMMENT    VARCHAR(255),
    LDDATE     TIMESTAMP,
    ORID       INTEGER,
    MB         DOUBLE,
    MBUNC      DOUBLE,
    MS         DOUBLE,
    MSUNC      DOUBLE
);

CREATE TABLE IF NOT EXISTS NETWORKS (
    NINDEX  INTEGER PRIMARY KEY,
    NETNAME VARCHAR(16),
    NETTYPE INTEGER,
    NETLIST VARCHAR(255),
    LDDATE  TIMESTAMP
);

CREATE TABLE IF NOT EXISTS LASTID (
    KEYNAME  VARCHAR(32) PRIMARY KEY,
    KEYVALUE INTEGER,
    LDDATE   TIMESTAMP
);

CREATE TABLE IF NOT EXISTS ID_SENS (
    ID_SENS     INTEGER PRIMARY KEY,
    SENS_UNITS  VARCHAR(16),
    CALIB_UNITS VARCHAR(16)
);

CREATE TABLE IF NOT EXISTS ID_FREQ (
    ID_FREQ    INTEGER PRIMARY KEY,
    FREQ_UNITS VARCHAR(16)
);

CREATE TABLE IF NOT EXISTS GEOGRAPHIC_REGION (
    COD2    INTEGER,
    REGION  INTEGER,
    NAME    VARCHAR(255),
    COMMENT VARCHAR(255)
);

CREATE TABLE IF NOT EXISTS EVENTLIST (
    NINDEX     INTEGER PRIMARY KEY,
    STA        VARCHAR(16),
    TBEGIN     DOUBLE,
    EVENT_TYPE INTEGER,
    LDDATE     TIMESTAMP
);

CREATE TABLE IF NOT EXISTS EARTHQUAKE (
    N        INTEGER PRIMARY KEY,
    NINYEAR  INTEGER,
    REGION   INTEGER,
    DATE_IDC TIMESTAMP,
    DS       DOUBLE,
    LAT      DOUBLE,
    LON      DOUBLE,
    DEPTH    DOUBLE,
    MS       DOUBLE,
    MPV      DOUBLE,
    I0       DOUBLE,
    COM      VARCHAR(255),
    FEEL     VARCHAR(255),
    RTIME    DOUBLE,
    NSTA     INTEGER,
    NMB      INTEGER,
    NMS      INTEGER,
    NCSEM    INTEGER
);

CREATE TABLE IF NOT EXISTS CONTREG (
    LAT1 DOUBLE,
    LON1 DOUBLE,
    LAT2 DOUBLE,
    LON2 DOUBLE,
    NAME VARCHAR(255),
    EPN  INTEGER
);

CREATE TABLE IF NOT EXISTS CALIBRATION (
    NETWORK   VARCHAR(16),
    LOCATION  VARCHAR(16),
    STA       VARCHAR(16),
    CHAN      VARCHAR(16),
    STARTDATE TIMESTAMP,
    ENDDATE   TIMESTAMP,
    SENS      DOUBLE,
    ID_SENS   INTEGER,
    FREQ      DOUBLE,
    ID_FREQ   INTEGER,
    SAC       VARCHAR(255),
    FAP       VARCHAR(255),
    LDDATE    TIMESTAMP
);

CREATE TABLE IF NOT EXISTS ARRIVAL (
    NINDEX    INTEGER PRIMARY KEY,
    FLAG      INTEGER,
    EVENTID   INTEGER,
    NUMB      INTEGER,
    STA       VARCHAR(16),
    CHAN      VARCHAR(16),
    IPHASE    VARCHAR(16),
    ITIME     DOUBLE,
    DELTIM    DOUBLE,
    AZIMUTH   DOUBLE,
    SLOW      DOUBLE,
    EMA       DOUBLE,
    RECT      DOUBLE,
    FM        VARCHAR(16),
    IM_EM     VARCHAR(16),
    PER       DOUBLE,
    RESIDUALS DOUBLE,
    AMPL      DOUBLE,
    LDDATE    TIMESTAMP,
    WGT       DOUBLE,
    ARID      INTEGER,
    MS        DOUBLE,
    MB        DOUBLE,
    AMPTIME   DOUBLE,
    DIST      DOUBLE,
    CODA      DOUBLE,
    REGCLASS  VARCHAR(16),
    MCODA     DOUBLE,
    MPSP      DOUBLE,
    MPLP      DOUBLE,
    CHANTYPE  VARCHAR(16),
    REMARK    VARCHAR(255),
    AFILTYPE  VARCHAR(16),
    PFILTYPE  VARCHAR(16),
    MWA       DOUBLE
);

-- TARVELL's own: how the instances of a fleet share the servers (the program makes these
-- three where they are missing). A lease per server link (its owner, a fencing number that
-- grows at every change of owner, a beat its owner counts up at every renewal), a row per
-- instance, and the link that archives each channel.
CREATE TABLE IF NOT EXISTS TARVELL_LEASE (
    LINK_NAME VARCHAR(160) NOT NULL PRIMARY KEY,
    OWNER     VARCHAR(160) NOT NULL,
    FENCE     INTEGER NOT NULL,
    BEAT      INTEGER NOT NULL,
    COMMITS   INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS TARVELL_MEMBER (
    NAME        VARCHAR(160) NOT NULL PRIMARY KEY,
    FINGERPRINT VARCHAR(40) NOT NULL,
    BEAT        INTEGER NOT NULL,
    LINKS       INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS TARVELL_CLAIM (
    STA       VARCHAR(16) NOT NULL,
    CHAN      VARCHAR(16) NOT NULL,
    LINK_NAME VARCHAR(160) NOT NULL,
    PRIMARY KEY (STA, CHAN)
);

-- The program's queries: a file's rows by path, a station's disk loop in time order,
-- and a channel's sampling rate.
CREATE INDEX IF NOT EXISTS FILELIST_CPATH ON FILELIST (CPATH);
CREATE INDEX IF NOT EXISTS FILELIST_STA_CREATER_TBEGIN ON FILELIST (STA, CREATER, TBEGIN);
CREATE INDEX IF NOT EXISTS SITECHAN_STA_CHAN ON SITECHAN (STA, CHAN);
