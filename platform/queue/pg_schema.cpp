// pg_schema.cpp - the tables and server-side functions of the PostgreSQL
// store, created on first use in the database a queue manager names.
//
// Every queue manager kept in one database shares these tables, keyed by its
// name. Each queue operation is one call of a function below, so that a put
// or a get is one round trip and one transaction:
//
//  * put: one INSERT and a NOTIFY on the channel "krq" whose payload is the
//    queue's id (see kWakeChannel in pg_conn.h), left out when only the
//    putter's own wake board listens (krsoap.listeners).
//  * get: picks the first matching row in (priority DESC, seq) order with
//    FOR UPDATE SKIP LOCKED and deletes it in the same transaction, so that
//    competing getters in any number of sessions each take a different
//    message and every message is taken exactly once.
//  * durability: a transaction that only touches non-persistent messages
//    commits with synchronous_commit off (visible at once to every session,
//    flushed to disk a moment later by the WAL writer); one that puts or
//    takes a persistent message commits synchronously, so the message is on
//    disk when the put returns and cannot come back after a get returned it.
//  * ownership: dynamic queues and open-handle records carry the owning
//    store's key; the owner holds a session-level advisory lock on that key,
//    so a transaction that can take a shared lock on it knows the owner's
//    session (and so its process) is gone, and removes what it left.
//  * units of work: a get under syncpoint does not delete its row but marks
//    it with the owning store's key and the unit (uow_owner, uow_id,
//    uow_state 1); a put under syncpoint inserts its row marked the same way
//    (uow_state 2). Marked rows are invisible to every get and browse.
//    commit_unit deletes the unit's got rows and unmarks its put rows in one
//    transaction; backout_unit does the opposite, adding one to the backout
//    count inside each returned descriptor. A unit whose owner's lock can be
//    taken (its session, and so its process, is gone) is backed out by
//    sweep_units, which a get that finds nothing runs first.
//
// Upgrades: every statement below can run on a database laid out by an
// earlier version (columns are added with defaults that mean "as before");
// the marker function's name says which version a database has.
//
// Status values returned by the functions are the interface's reason codes.
#include "platform/queue/pg_schema.h"

namespace krsoap::queue::pg {

// Serialises schema creation between sessions that start at the same moment
// (CREATE ... IF NOT EXISTS alone races on the catalogs).
const char* const kSchemaLockSql = "SELECT pg_advisory_xact_lock(7526053213512540001)";

const char* const kSchemaVersionSql =
    "SELECT 1 FROM pg_catalog.pg_proc p JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace "
    "WHERE n.nspname = 'krsoap' AND p.proname = 'schema_v10'";

const char* const kSchemaSql = R"SQL(
CREATE SCHEMA IF NOT EXISTS krsoap;

CREATE TABLE IF NOT EXISTS krsoap.qmgrs (
  name text PRIMARY KEY
);

CREATE TABLE IF NOT EXISTS krsoap.queues (
  id bigserial PRIMARY KEY,
  qm text NOT NULL REFERENCES krsoap.qmgrs(name) ON DELETE CASCADE,
  name text NOT NULL,
  kind int NOT NULL,
  def_priority int NOT NULL,
  def_persistence int NOT NULL,
  max_depth int NOT NULL,
  max_length int NOT NULL,
  get_inhibited bool NOT NULL,
  put_inhibited bool NOT NULL,
  owner_key bigint,
  UNIQUE (qm, name)
);
CREATE INDEX IF NOT EXISTS queues_owner ON krsoap.queues (owner_key) WHERE owner_key IS NOT NULL;
-- Where the owner of a dynamic queue runs (boot and pid namespace) and which
-- process it is: a caller on the same machine can see at once that the
-- process is gone, before the server has noticed its closed connection.
ALTER TABLE krsoap.queues ADD COLUMN IF NOT EXISTS owner_host text;
ALTER TABLE krsoap.queues ADD COLUMN IF NOT EXISTS owner_pid int;
ALTER TABLE krsoap.queues ADD COLUMN IF NOT EXISTS owner_start bigint;
-- Where a server moves messages backed out too often ('': none) and after
-- how many back-outs (0: the server's default).
ALTER TABLE krsoap.queues ADD COLUMN IF NOT EXISTS backout_queue text NOT NULL DEFAULT '';
ALTER TABLE krsoap.queues ADD COLUMN IF NOT EXISTS backout_threshold int NOT NULL DEFAULT 0;

-- No foreign key to queues: every insert would share-lock the queue row, and
-- many putters on one queue would then pile up on it. Deleting a queue
-- deletes its messages itself.
CREATE TABLE IF NOT EXISTS krsoap.messages (
  seq bigserial PRIMARY KEY,
  queue_id bigint NOT NULL,
  priority int NOT NULL,
  persistent bool NOT NULL,
  msg_id bytea NOT NULL,
  correl_id bytea NOT NULL,
  expires_at timestamptz,
  md bytea NOT NULL,
  body bytea NOT NULL
);
CREATE INDEX IF NOT EXISTS messages_order ON krsoap.messages (queue_id, priority DESC, seq);
CREATE INDEX IF NOT EXISTS messages_msg_id ON krsoap.messages (queue_id, msg_id);
CREATE INDEX IF NOT EXISTS messages_correl_id ON krsoap.messages (queue_id, correl_id);
-- Units of work (see above); NULL: a committed message, visible.
ALTER TABLE krsoap.messages ADD COLUMN IF NOT EXISTS uow_owner bigint;
ALTER TABLE krsoap.messages ADD COLUMN IF NOT EXISTS uow_id bigint;
ALTER TABLE krsoap.messages ADD COLUMN IF NOT EXISTS uow_state smallint;
CREATE INDEX IF NOT EXISTS messages_uow ON krsoap.messages (uow_owner, uow_id) WHERE uow_owner IS NOT NULL;
-- The descriptor's backout count (a little-endian int32 at byte 96) one
-- higher.
CREATE OR REPLACE FUNCTION krsoap.md_backed_out(p_md bytea)
RETURNS bytea LANGUAGE plpgsql IMMUTABLE AS $$
DECLARE n bigint;
BEGIN
  IF octet_length(p_md) < 100 THEN RETURN p_md; END IF;
  n := get_byte(p_md, 96)::bigint | (get_byte(p_md, 97)::bigint << 8) | (get_byte(p_md, 98)::bigint << 16)
       | (get_byte(p_md, 99)::bigint << 24);
  IF n >= 2147483647 THEN RETURN p_md; END IF;
  n := n + 1;
  RETURN set_byte(set_byte(set_byte(set_byte(p_md, 96, (n & 255)::int), 97, ((n >> 8) & 255)::int),
                           98, ((n >> 16) & 255)::int), 99, ((n >> 24) & 255)::int);
END $$;

CREATE TABLE IF NOT EXISTS krsoap.opens (
  queue_id bigint NOT NULL REFERENCES krsoap.queues(id) ON DELETE CASCADE,
  owner_key bigint NOT NULL,
  handles int NOT NULL,
  PRIMARY KEY (queue_id, owner_key)
);

CREATE SEQUENCE IF NOT EXISTS krsoap.dynamic_names;

-- A queue by name, after removing it if it is a dynamic queue whose owner
-- is gone. The owner's own sessions never get here with its lock free: the
-- lock is held by the owner connection, which runs nothing but the lock.
CREATE OR REPLACE FUNCTION krsoap.find_queue(p_qm text, p_name text)
RETURNS krsoap.queues LANGUAGE plpgsql AS $$
DECLARE q krsoap.queues;
BEGIN
  SELECT * INTO q FROM krsoap.queues WHERE qm = p_qm AND name = p_name;
  IF FOUND AND q.owner_key IS NOT NULL AND pg_try_advisory_xact_lock_shared(q.owner_key) THEN
    PERFORM set_config('synchronous_commit', 'off', true);
    DELETE FROM krsoap.messages WHERE queue_id = q.id;
    DELETE FROM krsoap.queues WHERE id = q.id;
    PERFORM pg_notify('krq', q.id::text);
    RETURN NULL;
  END IF;
  RETURN q;
END $$;

-- Removes what dead owners left on a queue manager: dynamic queues and
-- open-handle records.
CREATE OR REPLACE FUNCTION krsoap.sweep(p_qm text)
RETURNS void LANGUAGE plpgsql AS $$
DECLARE gone bigint[];
BEGIN
  SELECT array_agg(id) INTO gone FROM krsoap.queues
   WHERE qm = p_qm AND owner_key IS NOT NULL AND pg_try_advisory_xact_lock_shared(owner_key);
  IF gone IS NOT NULL THEN
    DELETE FROM krsoap.messages WHERE queue_id = ANY (gone);
    DELETE FROM krsoap.queues WHERE id = ANY (gone);
    PERFORM pg_notify('krq', g::text) FROM unnest(gone) g;
  END IF;
  DELETE FROM krsoap.opens o USING krsoap.queues q
   WHERE q.id = o.queue_id AND q.qm = p_qm AND pg_try_advisory_xact_lock_shared(o.owner_key);
  PERFORM krsoap.sweep_units(q.id) FROM krsoap.queues q WHERE q.qm = p_qm AND EXISTS
     (SELECT 1 FROM krsoap.messages m WHERE m.queue_id = q.id AND m.uow_owner IS NOT NULL);
END $$;

-- p_uow_owner / p_uow: not 0, a put within that unit of work (invisible
-- until its commit).
DROP FUNCTION IF EXISTS krsoap.put(text, text, int, bool, bytea, bytea, bigint, bytea, bytea);
CREATE OR REPLACE FUNCTION krsoap.put(p_qm text, p_queue text, p_priority int, p_persistent bool,
    p_msg_id bytea, p_correl_id bytea, p_expire_ms bigint, p_md bytea, p_body bytea,
    p_uow_owner bigint, p_uow bigint)
RETURNS TABLE(o_status int, o_queue_id bigint) LANGUAGE plpgsql AS $$
DECLARE
  q krsoap.queues;
  t text;
BEGIN
  -- The queue row read here directly; find_queue only when its owner may be
  -- gone. Settings, notifications and results below are plain expressions
  -- and RETURN NEXT rather than PERFORM and RETURN QUERY: plpgsql evaluates
  -- those without starting the executor, which is most of a put's cost.
  SELECT * INTO q FROM krsoap.queues WHERE qm = p_qm AND name = p_queue;
  IF q.owner_key IS NOT NULL AND pg_try_advisory_xact_lock_shared(q.owner_key) THEN
    q := krsoap.find_queue(p_qm, p_queue);
  END IF;
  o_queue_id := coalesce(q.id, 0);
  o_status := CASE WHEN q.id IS NULL THEN 2204
                   WHEN q.kind = 2 THEN 2240
                   WHEN q.put_inhibited THEN 2213
                   WHEN octet_length(p_body) > q.max_length THEN 2210
                   WHEN p_persistent AND q.kind = 3 THEN 2226
                   ELSE 0 END;
  IF o_status <> 0 THEN RETURN NEXT; RETURN; END IF;
  -- A put within a unit of work is durable at its commit, not before.
  IF NOT p_persistent OR p_uow <> 0 THEN t := set_config('synchronous_commit', 'off', true); END IF;
  -- One statement checks the depth and inserts (a put in a unit inserts its
  -- row marked with the unit, invisible until the commit).
  INSERT INTO krsoap.messages (queue_id, priority, persistent, msg_id, correl_id, expires_at, md, body,
                               uow_owner, uow_id, uow_state)
  SELECT q.id, p_priority, p_persistent, p_msg_id, p_correl_id,
         CASE WHEN p_expire_ms IS NULL THEN NULL
              ELSE clock_timestamp() + p_expire_ms * interval '1 millisecond' END,
         p_md, p_body,
         CASE WHEN p_uow <> 0 THEN p_uow_owner END, CASE WHEN p_uow <> 0 THEN p_uow END,
         CASE WHEN p_uow <> 0 THEN 2::smallint END
   WHERE (SELECT count(*) FROM (SELECT 1 FROM krsoap.messages m WHERE m.queue_id = q.id
                                LIMIT q.max_depth) s) < q.max_depth;
  IF NOT FOUND THEN
    o_status := 2211;
    RETURN NEXT;
    RETURN;
  END IF;
  IF p_uow <> 0 THEN RETURN NEXT; RETURN; END IF;
  IF pg_notify('krq', q.id::text) IS NULL THEN NULL; END IF;  -- an expression: see above
  RETURN NEXT;
END $$;

-- p_mode: 0 destructive get, 1 browse first, 2 browse next past the cursor
-- (p_cur_valid, p_cur_prio, p_cur_seq). A message longer than p_maxlen is
-- returned cut, with status 2080, and stays where it is. p_expect_id, when
-- not 0, is the queue the caller started on: a queue of the same name made
-- since is a different queue (status 2237), and nothing is taken from it.
-- p_uow_owner / p_uow: not 0, a destructive get within that unit of work:
-- the row is marked, not deleted. Rows of units are never returned.
DROP FUNCTION IF EXISTS krsoap.get(text, text, int, bytea, bytea, int, bool, int, bigint, bigint, int);
CREATE OR REPLACE FUNCTION krsoap.get(p_qm text, p_queue text, p_mode int, p_msg_id bytea,
    p_correl_id bytea, p_maxlen int, p_cur_valid bool, p_cur_prio int, p_cur_seq bigint,
    p_expect_id bigint, p_unlock int, p_uow_owner bigint, p_uow bigint)
RETURNS TABLE(o_status int, o_queue_id bigint, o_seq bigint, o_priority int, o_length int,
              o_md bytea, o_body bytea, o_left_ms bigint, o_empty bool) LANGUAGE plpgsql AS $$
DECLARE
  q krsoap.queues;
  m krsoap.messages;
  browse bool := p_mode <> 0;
  cv bool := p_mode = 2 AND p_cur_valid;
  cp int := p_cur_prio;
  cs bigint := p_cur_seq;
  len int;
  left_ms bigint;
  expired_seen bool := false;
  swept bool := false;
  t text;
BEGIN
  -- As in put: the queue row directly, find_queue only when its owner may be
  -- gone, and plain expressions where the executor is not needed.
  SELECT * INTO q FROM krsoap.queues WHERE qm = p_qm AND name = p_queue;
  IF q.owner_key IS NOT NULL AND pg_try_advisory_xact_lock_shared(q.owner_key) THEN
    q := krsoap.find_queue(p_qm, p_queue);
  END IF;
  IF q.id IS NULL THEN
    RETURN QUERY SELECT 2204, 0::bigint, 0::bigint, 0, 0, NULL::bytea, NULL::bytea, NULL::bigint, false; RETURN;
  END IF;
  IF p_expect_id <> 0 AND q.id <> p_expect_id THEN
    RETURN QUERY SELECT 2237, q.id, 0::bigint, 0, 0, NULL::bytea, NULL::bytea, NULL::bigint, false; RETURN;
  END IF;
  IF q.kind = 2 THEN
    RETURN QUERY SELECT 2240, q.id, 0::bigint, 0, 0, NULL::bytea, NULL::bytea, NULL::bigint, false; RETURN;
  END IF;
  IF q.get_inhibited THEN
    RETURN QUERY SELECT 2212, q.id, 0::bigint, 0, 0, NULL::bytea, NULL::bytea, NULL::bigint, false; RETURN;
  END IF;
  LOOP
    m := NULL;
    IF NOT browse THEN
      IF p_msg_id IS NULL AND p_correl_id IS NULL THEN
        SELECT * INTO m FROM krsoap.messages WHERE queue_id = q.id AND uow_owner IS NULL
         ORDER BY priority DESC, seq LIMIT 1 FOR UPDATE SKIP LOCKED;
      ELSIF p_correl_id IS NULL THEN
        SELECT * INTO m FROM krsoap.messages WHERE queue_id = q.id AND uow_owner IS NULL AND msg_id = p_msg_id
         ORDER BY priority DESC, seq LIMIT 1 FOR UPDATE SKIP LOCKED;
      ELSIF p_msg_id IS NULL THEN
        SELECT * INTO m FROM krsoap.messages WHERE queue_id = q.id AND uow_owner IS NULL AND correl_id = p_correl_id
         ORDER BY priority DESC, seq LIMIT 1 FOR UPDATE SKIP LOCKED;
      ELSE
        SELECT * INTO m FROM krsoap.messages WHERE queue_id = q.id AND uow_owner IS NULL AND msg_id = p_msg_id
           AND correl_id = p_correl_id
         ORDER BY priority DESC, seq LIMIT 1 FOR UPDATE SKIP LOCKED;
      END IF;
    ELSIF cv THEN
      -- Past the cursor: later messages of the cursor's priority, then the
      -- lower priorities; two range scans of the ordering index.
      SELECT * INTO m FROM krsoap.messages WHERE queue_id = q.id AND uow_owner IS NULL AND priority = cp AND seq > cs
         AND (p_msg_id IS NULL OR msg_id = p_msg_id)
         AND (p_correl_id IS NULL OR correl_id = p_correl_id)
       ORDER BY seq LIMIT 1;
      IF m.seq IS NULL THEN
        SELECT * INTO m FROM krsoap.messages WHERE queue_id = q.id AND uow_owner IS NULL AND priority < cp
           AND (p_msg_id IS NULL OR msg_id = p_msg_id)
           AND (p_correl_id IS NULL OR correl_id = p_correl_id)
         ORDER BY priority DESC, seq LIMIT 1;
      END IF;
    ELSE
      SELECT * INTO m FROM krsoap.messages WHERE queue_id = q.id AND uow_owner IS NULL
         AND (p_msg_id IS NULL OR msg_id = p_msg_id)
         AND (p_correl_id IS NULL OR correl_id = p_correl_id)
       ORDER BY priority DESC, seq LIMIT 1;
    END IF;

    IF m.seq IS NULL THEN
      -- Messages held by the units of sessions that are gone come back
      -- first (their backout counts one higher); then look again.
      IF NOT swept AND EXISTS (SELECT 1 FROM krsoap.messages x WHERE x.queue_id = q.id AND x.uow_owner IS NOT NULL) THEN
        swept := true;
        IF krsoap.sweep_units(q.id) > 0 THEN
          cv := p_mode = 2 AND p_cur_valid; cp := p_cur_prio; cs := p_cur_seq;
          CONTINUE;
        END IF;
      END IF;
      IF expired_seen THEN PERFORM set_config('synchronous_commit', 'off', true); END IF;
      -- Whether the queue holds nothing at all, so that a getter that
      -- listens on its channel may wait without looking first next time.
      o_status := 2033; o_queue_id := q.id; o_seq := 0; o_priority := 0; o_length := 0;
      o_empty := NOT EXISTS (SELECT 1 FROM krsoap.messages x WHERE x.queue_id = q.id AND x.uow_owner IS NULL);
      RETURN NEXT;
      RETURN;
    END IF;

    IF m.expires_at IS NOT NULL AND m.expires_at <= clock_timestamp() THEN
      -- Expired: never returned, removed when met (unless another session
      -- is taking it at this moment).
      expired_seen := true;
      DELETE FROM krsoap.messages
       WHERE seq = (SELECT x.seq FROM krsoap.messages x WHERE x.seq = m.seq FOR UPDATE SKIP LOCKED);
      IF browse THEN cv := true; cp := m.priority; cs := m.seq; END IF;
      CONTINUE;
    END IF;

    -- A waiting getter that held the queue's waiter lock hands it on with
    -- the message it found.
    IF p_unlock <> 0 AND pg_advisory_unlock(19282, p_unlock) IS NULL THEN NULL; END IF;
    len := octet_length(m.body);
    left_ms := CASE WHEN m.expires_at IS NULL THEN NULL
                    ELSE greatest(1, ceil(extract(epoch FROM m.expires_at - clock_timestamp()) * 1000))::bigint
               END;
    IF len > p_maxlen THEN
      IF expired_seen THEN PERFORM set_config('synchronous_commit', 'off', true); END IF;
      -- Getters that skipped the row while it was locked here look again.
      IF NOT browse THEN PERFORM pg_notify('krq', q.id::text); END IF;
      RETURN QUERY SELECT 2080, q.id, m.seq, m.priority, len, m.md,
                          substring(m.body FROM 1 FOR greatest(p_maxlen, 0)), left_ms, false;
      RETURN;
    END IF;
    IF NOT browse AND p_uow <> 0 THEN
      -- Held for the unit; the commit deletes it (durably, when persistent).
      UPDATE krsoap.messages SET uow_owner = p_uow_owner, uow_id = p_uow, uow_state = 1 WHERE seq = m.seq;
      t := set_config('synchronous_commit', 'off', true);
    ELSIF NOT browse THEN
      DELETE FROM krsoap.messages WHERE seq = m.seq;
      IF NOT m.persistent THEN t := set_config('synchronous_commit', 'off', true); END IF;
    END IF;
    o_status := 0; o_queue_id := q.id; o_seq := m.seq; o_priority := m.priority; o_length := len;
    o_md := m.md; o_body := m.body; o_left_ms := left_ms;
    o_empty := NOT browse AND NOT EXISTS (SELECT 1 FROM krsoap.messages x WHERE x.queue_id = q.id AND x.uow_owner IS NULL);
    RETURN NEXT;
    RETURN;
  END LOOP;
END $$;

-- Ends a unit of work. Commit: its got rows go, its put rows become visible.
-- Back-out: its got rows come back (same place: priority and seq) with their
-- backout count one higher, its put rows go. Synchronous when a persistent
-- message is involved, so a commit that returned is on disk.
CREATE OR REPLACE FUNCTION krsoap.end_unit(p_owner bigint, p_uow bigint, p_commit bool)
RETURNS int LANGUAGE plpgsql AS $$
DECLARE
  durable bool;
  woken bigint[];
BEGIN
  SELECT coalesce(bool_or(persistent), false) INTO durable FROM krsoap.messages
   WHERE uow_owner = p_owner AND uow_id = p_uow;
  IF NOT durable THEN PERFORM set_config('synchronous_commit', 'off', true); END IF;
  IF p_commit THEN
    DELETE FROM krsoap.messages WHERE uow_owner = p_owner AND uow_id = p_uow AND uow_state = 1;
    WITH up AS (UPDATE krsoap.messages SET uow_owner = NULL, uow_id = NULL, uow_state = NULL
                 WHERE uow_owner = p_owner AND uow_id = p_uow AND uow_state = 2 RETURNING queue_id)
    SELECT array_agg(DISTINCT queue_id) INTO woken FROM up;
  ELSE
    DELETE FROM krsoap.messages WHERE uow_owner = p_owner AND uow_id = p_uow AND uow_state = 2;
    WITH up AS (UPDATE krsoap.messages SET uow_owner = NULL, uow_id = NULL, uow_state = NULL,
                       md = krsoap.md_backed_out(md)
                 WHERE uow_owner = p_owner AND uow_id = p_uow AND uow_state = 1 RETURNING queue_id)
    SELECT array_agg(DISTINCT queue_id) INTO woken FROM up;
  END IF;
  IF woken IS NOT NULL THEN PERFORM pg_notify('krq', w::text) FROM unnest(woken) w; END IF;
  RETURN 0;
END $$;

-- Backs out the units of owners whose session is gone (their advisory lock
-- is free), on the queue p_queue_id or (0) everywhere. Returns how many
-- units it backed out.
CREATE OR REPLACE FUNCTION krsoap.sweep_units(p_queue_id bigint)
RETURNS int LANGUAGE plpgsql AS $$
DECLARE
  u record;
  n int := 0;
BEGIN
  FOR u IN SELECT DISTINCT uow_owner, uow_id FROM krsoap.messages
            WHERE uow_owner IS NOT NULL AND (p_queue_id = 0 OR queue_id = p_queue_id) LOOP
    IF pg_try_advisory_xact_lock_shared(u.uow_owner) THEN
      PERFORM krsoap.end_unit(u.uow_owner, u.uow_id, false);
      n := n + 1;
    END IF;
  END LOOP;
  RETURN n;
END $$;

-- A temporary dynamic queue named from a pattern; a trailing '*' becomes a
-- unique suffix (the tail of a 16-digit hexadecimal counter, as much of it as
-- fits in 48 bytes).
CREATE OR REPLACE FUNCTION krsoap.create_dynamic(p_qm text, p_pattern text, p_owner bigint,
    p_priority int, p_persistence int, p_max_depth int, p_max_length int,
    p_get_inhibited bool, p_put_inhibited bool, p_host text, p_pid int, p_start bigint)
RETURNS TABLE(o_status int, o_name text) LANGUAGE plpgsql AS $$
DECLARE
  prefix text;
  room int;
  nm text;
  tries int := 0;
  newid bigint;
BEGIN
  PERFORM krsoap.sweep(p_qm);
  PERFORM set_config('synchronous_commit', 'off', true);
  IF right(p_pattern, 1) <> '*' THEN
    INSERT INTO krsoap.queues (qm, name, kind, def_priority, def_persistence, max_depth, max_length,
                               get_inhibited, put_inhibited, owner_key, owner_host, owner_pid,
                               owner_start)
    VALUES (p_qm, p_pattern, 3, p_priority, p_persistence, p_max_depth, p_max_length,
            p_get_inhibited, p_put_inhibited, p_owner, p_host, p_pid, p_start)
    ON CONFLICT (qm, name) DO NOTHING RETURNING id INTO newid;
    IF newid IS NULL THEN RETURN QUERY SELECT 2231, p_pattern; RETURN; END IF;
    RETURN QUERY SELECT 0, p_pattern; RETURN;
  END IF;
  prefix := CASE WHEN p_pattern = '*' THEN 'KR.TEMP.' ELSE left(p_pattern, length(p_pattern) - 1) END;
  room := least(16, 48 - octet_length(prefix));
  IF room < 1 THEN RETURN QUERY SELECT 2233, p_pattern; RETURN; END IF;
  LOOP
    nm := prefix || right(upper(lpad(to_hex(nextval('krsoap.dynamic_names')), 16, '0')), room);
    newid := NULL;
    INSERT INTO krsoap.queues (qm, name, kind, def_priority, def_persistence, max_depth, max_length,
                               get_inhibited, put_inhibited, owner_key, owner_host, owner_pid,
                               owner_start)
    VALUES (p_qm, nm, 3, p_priority, p_persistence, p_max_depth, p_max_length,
            p_get_inhibited, p_put_inhibited, p_owner, p_host, p_pid, p_start)
    ON CONFLICT (qm, name) DO NOTHING RETURNING id INTO newid;
    IF newid IS NOT NULL THEN RETURN QUERY SELECT 0, nm; RETURN; END IF;
    tries := tries + 1;
    IF tries >= 64 THEN RETURN QUERY SELECT 2233, p_pattern; RETURN; END IF;
  END LOOP;
END $$;

CREATE OR REPLACE FUNCTION krsoap.drop_dynamic(p_qm text, p_name text, p_owner bigint)
RETURNS int LANGUAGE plpgsql AS $$
DECLARE qid bigint;
BEGIN
  PERFORM set_config('synchronous_commit', 'off', true);
  DELETE FROM krsoap.queues WHERE qm = p_qm AND name = p_name AND kind = 3 AND owner_key = p_owner
  RETURNING id INTO qid;
  IF qid IS NULL THEN RETURN 2204; END IF;
  DELETE FROM krsoap.messages WHERE queue_id = qid;
  PERFORM pg_notify('krq', qid::text);
  RETURN 0;
END $$;

-- A dynamic queue whose owner process is known to be dead.
CREATE OR REPLACE FUNCTION krsoap.drop_orphan(p_id bigint, p_owner bigint)
RETURNS void LANGUAGE plpgsql AS $$
BEGIN
  PERFORM set_config('synchronous_commit', 'off', true);
  DELETE FROM krsoap.queues WHERE id = p_id AND owner_key = p_owner;
  IF FOUND THEN
    DELETE FROM krsoap.messages WHERE queue_id = p_id;
    PERFORM pg_notify('krq', p_id::text);
  END IF;
END $$;

-- Everything a store object owned, when it goes away.
CREATE OR REPLACE FUNCTION krsoap.drop_owner(p_qm text, p_owner bigint)
RETURNS void LANGUAGE plpgsql AS $$
DECLARE gone bigint[];
BEGIN
  PERFORM set_config('synchronous_commit', 'off', true);
  WITH d AS (DELETE FROM krsoap.queues WHERE qm = p_qm AND owner_key = p_owner RETURNING id)
  SELECT array_agg(id) INTO gone FROM d;
  IF gone IS NOT NULL THEN
    DELETE FROM krsoap.messages WHERE queue_id = ANY (gone);
    PERFORM pg_notify('krq', g::text) FROM unnest(gone) g;
  END IF;
  DELETE FROM krsoap.opens WHERE owner_key = p_owner;
  PERFORM krsoap.end_unit(p_owner, u, false)
     FROM (SELECT DISTINCT uow_id AS u FROM krsoap.messages WHERE uow_owner = p_owner) units;
END $$;

CREATE OR REPLACE FUNCTION krsoap.note_open(p_qm text, p_name text, p_owner bigint, p_delta int)
RETURNS void LANGUAGE plpgsql AS $$
DECLARE qid bigint;
BEGIN
  PERFORM set_config('synchronous_commit', 'off', true);
  SELECT id INTO qid FROM krsoap.queues WHERE qm = p_qm AND name = p_name;
  IF qid IS NULL THEN RETURN; END IF;
  IF p_delta > 0 THEN
    INSERT INTO krsoap.opens AS o (queue_id, owner_key, handles) VALUES (qid, p_owner, p_delta)
    ON CONFLICT (queue_id, owner_key) DO UPDATE SET handles = o.handles + p_delta;
  ELSE
    UPDATE krsoap.opens SET handles = handles + p_delta WHERE queue_id = qid AND owner_key = p_owner;
    DELETE FROM krsoap.opens WHERE queue_id = qid AND owner_key = p_owner AND handles <= 0;
  END IF;
END $$;

CREATE OR REPLACE FUNCTION krsoap.delete_queue(p_qm text, p_name text)
RETURNS int LANGUAGE plpgsql AS $$
DECLARE q krsoap.queues;
BEGIN
  PERFORM krsoap.sweep(p_qm);
  SELECT * INTO q FROM krsoap.queues WHERE qm = p_qm AND name = p_name FOR UPDATE;
  IF NOT FOUND THEN RETURN 2204; END IF;
  IF EXISTS (SELECT 1 FROM krsoap.opens WHERE queue_id = q.id AND handles > 0) THEN
    RETURN 2230;
  END IF;
  DELETE FROM krsoap.messages WHERE queue_id = q.id;
  DELETE FROM krsoap.queues WHERE id = q.id;
  -- Waiting getters wake and find their queue gone.
  PERFORM pg_notify('krq', q.id::text);
  RETURN 0;
END $$;

CREATE OR REPLACE FUNCTION krsoap.clear_queue(p_qm text, p_name text)
RETURNS int LANGUAGE plpgsql AS $$
DECLARE q krsoap.queues;
BEGIN
  q := krsoap.find_queue(p_qm, p_name);
  IF q.id IS NULL THEN RETURN 2204; END IF;
  -- Messages in units of work are their units' to commit or back out.
  DELETE FROM krsoap.messages WHERE queue_id = q.id AND uow_owner IS NULL;
  RETURN 0;
END $$;

-- The sessions that listen on the wake-up channel "krq", each with the tag of
-- the wake board it relays for ('': a getter listening for itself, which
-- needs every wake-up). A put through a board need not notify while every
-- listener relays for that same board (the put moved the board's words
-- itself; see kListenersFence in pg_conn.h and PutFast). Rows of
-- sessions that are gone only cost notifications until a relay sweeps them.
CREATE TABLE IF NOT EXISTS krsoap.listeners (
  backend_pid int PRIMARY KEY,
  tag text NOT NULL
);

-- Marks the schema complete; its presence is what later sessions check.
CREATE OR REPLACE FUNCTION krsoap.schema_v10() RETURNS int LANGUAGE sql AS 'SELECT 1';
)SQL";

}  // namespace krsoap::queue::pg
