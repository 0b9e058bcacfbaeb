-- sornquibid — MSSQL identifier generators (epoch_ms=0, QuibId in ns).
--
-- dbo.generate_id returns the next SornId (bigint) of a node, and
-- dbo.generate_quibid the next QuibId (BINARY(16)), each as a result set of
-- one row and one column, by the rules of sornquibid.SornIdGenerator and
-- QuibIdGenerator: the timestamp counts from the epoch 1970-01-01T00:00:00.000Z
-- on the clock SYSUTCDATETIME(); when the clock stands still or steps back
-- the node counts on from its last identifier, and once a timestamp's
-- sequences are used up it moves to the next timestamp, so every identifier
-- of a node is greater than the one before it. The end of the timestamp
-- field is an error, never a wrap.
--
-- State: one row of dbo.sornquibid_generator_state per (family, node_id),
-- family 'sorn' or 'quib', read and advanced by one UPDATE under the row's
-- lock. @in_node_id NULL means the family's row marked is_default = 1:
--     INSERT INTO dbo.sornquibid_generator_state (family, node_id, is_default)
--     VALUES ('sorn', 7, 1), ('quib', 7, 1);
-- A row keeps the epoch_ms and unit it was first used with; a script made
-- for another epoch or precision refuses it rather than mix two timelines.

IF OBJECT_ID(N'dbo.sornquibid_generator_state', N'U') IS NULL
BEGIN
    CREATE TABLE dbo.sornquibid_generator_state (
        family      varchar(4) NOT NULL,
        node_id     int        NOT NULL,
        is_default  bit        NOT NULL
            CONSTRAINT df_sornquibid_generator_state_is_default DEFAULT 0,
        epoch_ms    bigint     NULL,
        unit        varchar(2) NULL,
        -- The last timestamp: whole for sorn; for quib its bits above bit 29
        -- in last_ts and its 29 low bits in last_ts_low.
        last_ts     bigint     NULL,
        last_ts_low bigint     NULL,
        last_seq    int        NULL,
        CONSTRAINT pk_sornquibid_generator_state PRIMARY KEY (family, node_id),
        CONSTRAINT ck_sornquibid_generator_state_node CHECK (
            (family = 'sorn' AND node_id BETWEEN 0 AND 511)
            OR (family = 'quib' AND node_id BETWEEN 0 AND 32767))
    );
END;
GO

CREATE OR ALTER PROCEDURE dbo.generate_id
    @in_node_id int = NULL
AS
BEGIN
    SET NOCOUNT ON;

    DECLARE @node_id int = @in_node_id;
    DECLARE @message nvarchar(400);
    IF @node_id IS NULL
    BEGIN
        DECLARE @defaults int;
        SELECT @node_id = MIN(node_id), @defaults = COUNT(*)
        FROM dbo.sornquibid_generator_state
        WHERE family = 'sorn' AND is_default = 1;
        IF @defaults = 0
            THROW 50320, 'dbo.generate_id: no @in_node_id given and no default node: set is_default = 1 on one sorn row of dbo.sornquibid_generator_state', 1;
        IF @defaults > 1
            THROW 50321, 'dbo.generate_id: more than one sorn row of dbo.sornquibid_generator_state has is_default = 1', 1;
    END;
    IF @node_id < 0 OR @node_id > 511
    BEGIN
        SET @message = N'node_id ' + CAST(@node_id AS nvarchar(11)) + N' is outside 0 to 511';
        THROW 50322, @message, 1;
    END;

    -- The clock: whole seconds and nanoseconds since the epoch.
    DECLARE @now datetime2(7) = SYSUTCDATETIME();
    DECLARE @seconds bigint = DATEDIFF_BIG(SECOND, CAST('1970-01-01T00:00:00' AS datetime2(7)), @now);
    DECLARE @nanos bigint = DATEPART(NANOSECOND, @now) - 0;
    IF @nanos < 0
    BEGIN
        SET @seconds = @seconds - 1;
        SET @nanos = @nanos + 1000000000;
    END;
    IF @seconds < 0
        THROW 50323, 'the clock reads before the epoch 1970-01-01T00:00:00.000Z (epoch_ms=0)', 1;
    -- now, in milliseconds since the epoch.
    DECLARE @max_ts bigint = 2199023255551;
    DECLARE @ts bigint = @seconds * 1000 + @nanos / 1000000;
    IF @ts > @max_ts
        THROW 50324, 'SornId timestamps end at 2039-09-07T15:47:35.551Z with epoch_ms=0', 1;

    INSERT INTO dbo.sornquibid_generator_state (family, node_id)
    SELECT 'sorn', @node_id
    WHERE NOT EXISTS (
        SELECT 1 FROM dbo.sornquibid_generator_state WITH (UPDLOCK, HOLDLOCK)
        WHERE family = 'sorn' AND node_id = @node_id);

    DECLARE @next TABLE (old_ts bigint NULL, old_seq int NULL, ts bigint, seq int);
    UPDATE dbo.sornquibid_generator_state
    SET last_ts = CASE
            WHEN last_ts IS NULL OR @ts > last_ts THEN @ts
            WHEN last_seq < 8191 THEN last_ts
            WHEN last_ts < @max_ts THEN last_ts + 1
            ELSE last_ts END,
        last_ts_low = 0,
        last_seq = CASE
            WHEN last_ts IS NULL OR @ts > last_ts THEN 0
            WHEN last_seq < 8191 THEN last_seq + 1
            WHEN last_ts < @max_ts THEN 0
            ELSE last_seq END,
        epoch_ms = 0,
        unit = 'ms'
    OUTPUT deleted.last_ts, deleted.last_seq, inserted.last_ts, inserted.last_seq INTO @next
    WHERE family = 'sorn' AND node_id = @node_id
      AND (epoch_ms IS NULL OR (epoch_ms = 0 AND unit = 'ms'));
    IF NOT EXISTS (SELECT 1 FROM @next)
        THROW 50325, 'dbo.generate_id: the row of this node in dbo.sornquibid_generator_state was used with another epoch_ms or unit than 0 and ms', 1;
    IF EXISTS (SELECT 1 FROM @next WHERE ts = old_ts AND seq = old_seq)
        THROW 50324, 'SornId timestamps end at 2039-09-07T15:47:35.551Z with epoch_ms=0', 1;

    SELECT ts * 4194304 + @node_id * 8192 + seq AS id FROM @next;
END;
GO

CREATE OR ALTER PROCEDURE dbo.generate_quibid
    @in_node_id int = NULL
AS
BEGIN
    SET NOCOUNT ON;

    DECLARE @node_id int = @in_node_id;
    DECLARE @message nvarchar(400);
    IF @node_id IS NULL
    BEGIN
        DECLARE @defaults int;
        SELECT @node_id = MIN(node_id), @defaults = COUNT(*)
        FROM dbo.sornquibid_generator_state
        WHERE family = 'quib' AND is_default = 1;
        IF @defaults = 0
            THROW 50320, 'dbo.generate_quibid: no @in_node_id given and no default node: set is_default = 1 on one quib row of dbo.sornquibid_generator_state', 1;
        IF @defaults > 1
            THROW 50321, 'dbo.generate_quibid: more than one quib row of dbo.sornquibid_generator_state has is_default = 1', 1;
    END;
    IF @node_id < 0 OR @node_id > 32767
    BEGIN
        SET @message = N'node_id ' + CAST(@node_id AS nvarchar(11)) + N' is outside 0 to 32767';
        THROW 50322, @message, 1;
    END;

    -- The clock: whole seconds and nanoseconds since the epoch.
    DECLARE @now datetime2(7) = SYSUTCDATETIME();
    DECLARE @seconds bigint = DATEDIFF_BIG(SECOND, CAST('1970-01-01T00:00:00' AS datetime2(7)), @now);
    DECLARE @nanos bigint = DATEPART(NANOSECOND, @now) - 0;
    IF @nanos < 0
    BEGIN
        SET @seconds = @seconds - 1;
        SET @nanos = @nanos + 1000000000;
    END;
    IF @seconds < 0
        THROW 50323, 'the clock reads before the epoch 1970-01-01T00:00:00.000Z (epoch_ms=0)', 1;
    -- now, in nanoseconds since the epoch, split at bit 29: the seconds
    -- first, so that no product leaves bigint.
    DECLARE @ts bigint = @seconds / 536870912 * 1000000000;
    DECLARE @rest bigint = @seconds % 536870912 * 1000000000 + @nanos;
    SET @ts = @ts + @rest / 536870912;
    DECLARE @ts_low bigint = @rest % 536870912;
    DECLARE @max_ts bigint = 1152921504606846975;
    IF @ts > @max_ts
        THROW 50324, 'QuibId timestamps in ns end at a time after the year 9999 with epoch_ms=0', 1;

    INSERT INTO dbo.sornquibid_generator_state (family, node_id)
    SELECT 'quib', @node_id
    WHERE NOT EXISTS (
        SELECT 1 FROM dbo.sornquibid_generator_state WITH (UPDLOCK, HOLDLOCK)
        WHERE family = 'quib' AND node_id = @node_id);

    DECLARE @next TABLE (
        old_ts bigint NULL, old_ts_low bigint NULL, old_seq int NULL,
        ts bigint, ts_low bigint, seq int);
    UPDATE dbo.sornquibid_generator_state
    SET last_ts = CASE
            WHEN last_ts IS NULL OR @ts > last_ts
                OR (@ts = last_ts AND @ts_low > last_ts_low) THEN @ts
            WHEN last_seq < 65535 OR last_ts_low < 536870911 THEN last_ts
            WHEN last_ts < @max_ts THEN last_ts + 1
            ELSE last_ts END,
        last_ts_low = CASE
            WHEN last_ts IS NULL OR @ts > last_ts
                OR (@ts = last_ts AND @ts_low > last_ts_low) THEN @ts_low
            WHEN last_seq < 65535 THEN last_ts_low
            WHEN last_ts_low < 536870911 THEN last_ts_low + 1
            WHEN last_ts < @max_ts THEN 0
            ELSE last_ts_low END,
        last_seq = CASE
            WHEN last_ts IS NULL OR @ts > last_ts
                OR (@ts = last_ts AND @ts_low > last_ts_low) THEN 0
            WHEN last_seq < 65535 THEN last_seq + 1
            WHEN last_ts_low < 536870911 OR last_ts < @max_ts THEN 0
            ELSE last_seq END,
        epoch_ms = 0,
        unit = 'ns'
    OUTPUT deleted.last_ts, deleted.last_ts_low, deleted.last_seq,
        inserted.last_ts, inserted.last_ts_low, inserted.last_seq INTO @next
    WHERE family = 'quib' AND node_id = @node_id
      AND (epoch_ms IS NULL OR (epoch_ms = 0 AND unit = 'ns'));
    IF NOT EXISTS (SELECT 1 FROM @next)
        THROW 50325, 'dbo.generate_quibid: the row of this node in dbo.sornquibid_generator_state was used with another epoch_ms or unit than 0 and ns', 1;
    IF EXISTS (SELECT 1 FROM @next WHERE ts = old_ts AND ts_low = old_ts_low AND seq = old_seq)
        THROW 50324, 'QuibId timestamps in ns end at a time after the year 9999 with epoch_ms=0', 1;

    -- The 16 bytes: timestamp bits 88..41; version 8 and bits 40..29;
    -- variant, precision 1 and bits 28..1; bit 0, node id and sequence.
    DECLARE @variant_precision bigint = 2415919104;
    DECLARE @bit_31 bigint = 2147483648;
    SELECT CAST(
        CAST(ts / 4096 AS binary(6))
        + CAST(32768 + ts % 4096 AS binary(2))
        + CAST(@variant_precision + ts_low / 2 AS binary(4))
        + CAST(ts_low % 2 * @bit_31 + @node_id * 65536 + seq AS binary(4))
        AS BINARY(16)) AS id
    FROM @next;
END;
GO
