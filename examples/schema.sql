-- A virtual-mail schema for korvane: hosted domains, mailboxes with their
-- password hash and storage, aliases with several targets, networks allowed
-- to relay, outgoing source addresses, and the sender addresses each login
-- may use. Load it with: psql -d mail -f schema.sql -f data.sql

CREATE TABLE domains (
    name        text PRIMARY KEY
);

CREATE TABLE mailboxes (
    address      text PRIMARY KEY,
    domain       text NOT NULL REFERENCES domains (name),
    password     text NOT NULL,          -- a crypt(3) hash, never plain text
    uid          integer NOT NULL,
    gid          integer NOT NULL,
    home         text NOT NULL,
    display_name text
);

CREATE TABLE aliases (
    address      text NOT NULL,
    target       text NOT NULL,
    position     integer NOT NULL DEFAULT 0,  -- order of the targets in the answer
    PRIMARY KEY (address, target)
);

CREATE TABLE relay_networks (
    network      cidr PRIMARY KEY,
    note         text
);

CREATE TABLE source_addresses (
    address      inet PRIMARY KEY,
    enabled      boolean NOT NULL DEFAULT true
);

CREATE TABLE sender_logins (
    login        text NOT NULL,
    address      text NOT NULL,
    PRIMARY KEY (login, address)
);

-- The read-only role korvane connects as.
DO $$ BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'korvane') THEN
        CREATE ROLE korvane LOGIN;
    END IF;
END $$;
GRANT SELECT ON domains, mailboxes, aliases, relay_networks, source_addresses, sender_logins
    TO korvane;

-- NOTIFY and LISTEN need only CONNECT: any role that may connect could
-- flush the cache at will and read every changed key the triggers send.
-- Only the mail roles (korvane, and the roles the mail user logs in as,
-- made members of it) may connect to this database.
DO $$ BEGIN
    EXECUTE format('REVOKE CONNECT ON DATABASE %I FROM PUBLIC', current_database());
    EXECUTE format('GRANT CONNECT ON DATABASE %I TO korvane', current_database());
END $$;

-- The mail server asks the netaddr and source services with keys that are
-- not addresses (mail it made itself is asked as "local"): such a key is
-- no address, so it matches nothing, where a plain cast would fail the
-- query and answer "error" for every such message.
CREATE OR REPLACE FUNCTION korvane_inet(key text) RETURNS inet
    LANGUAGE plpgsql IMMUTABLE STRICT AS $$
BEGIN
    RETURN key::inet;
EXCEPTION WHEN invalid_text_representation THEN
    RETURN NULL;
END $$;

-- Keeping korvane's cache true (cache_listen korvane): every committed
-- change notifies the channel "korvane" with "SERVICE:KEY" for each service
-- whose answer for that key it may change, old and new key alike. The
-- notification is sent when the transaction commits, and PostgreSQL sends
-- a payload only once per transaction however many rows repeat it.
CREATE OR REPLACE FUNCTION korvane_notify() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
    keys text[] := '{}';
    svc text;
    k text;
BEGIN
    -- TG_ARGV[0] names the key column, the rest are the services it keys.
    IF TG_OP IN ('UPDATE', 'DELETE') THEN
        keys := keys || (to_jsonb(OLD) ->> TG_ARGV[0]);
    END IF;
    IF TG_OP IN ('INSERT', 'UPDATE') THEN
        keys := keys || (to_jsonb(NEW) ->> TG_ARGV[0]);
    END IF;
    FOREACH svc IN ARRAY TG_ARGV[1:TG_NARGS - 1] LOOP
        FOREACH k IN ARRAY keys LOOP
            -- A payload must stay below 8000 bytes; for a longer key the
            -- whole service is flushed instead.
            IF octet_length(svc || ':' || k) < 8000 THEN
                PERFORM pg_notify('korvane', svc || ':' || k);
            ELSE
                PERFORM pg_notify('korvane', svc);
            END IF;
        END LOOP;
    END LOOP;
    RETURN NULL;
END $$;

-- Tables whose rows are not looked up by their own value (a network that
-- contains an address, the rotating source list) flush a whole service, and
-- so does TRUNCATE of any table, which row triggers never see: each
-- argument names a service to flush.
CREATE OR REPLACE FUNCTION korvane_notify_service() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
    svc text;
BEGIN
    FOREACH svc IN ARRAY TG_ARGV LOOP
        PERFORM pg_notify('korvane', svc);
    END LOOP;
    RETURN NULL;
END $$;

CREATE TRIGGER domains_korvane AFTER INSERT OR UPDATE OR DELETE ON domains
    FOR EACH ROW EXECUTE FUNCTION korvane_notify('name', 'domain');
CREATE TRIGGER mailboxes_korvane AFTER INSERT OR UPDATE OR DELETE ON mailboxes
    FOR EACH ROW EXECUTE FUNCTION
        korvane_notify('address', 'credentials', 'userinfo', 'mailaddr', 'addrname');
CREATE TRIGGER aliases_korvane AFTER INSERT OR UPDATE OR DELETE ON aliases
    FOR EACH ROW EXECUTE FUNCTION korvane_notify('address', 'alias', 'mailaddr');
CREATE TRIGGER sender_logins_korvane AFTER INSERT OR UPDATE OR DELETE ON sender_logins
    FOR EACH ROW EXECUTE FUNCTION korvane_notify('login', 'mailaddrmap');
CREATE TRIGGER domains_korvane_truncate AFTER TRUNCATE ON domains
    FOR EACH STATEMENT EXECUTE FUNCTION korvane_notify_service('domain');
CREATE TRIGGER mailboxes_korvane_truncate AFTER TRUNCATE ON mailboxes
    FOR EACH STATEMENT EXECUTE FUNCTION
        korvane_notify_service('credentials', 'userinfo', 'mailaddr', 'addrname');
CREATE TRIGGER aliases_korvane_truncate AFTER TRUNCATE ON aliases
    FOR EACH STATEMENT EXECUTE FUNCTION korvane_notify_service('alias', 'mailaddr');
CREATE TRIGGER sender_logins_korvane_truncate AFTER TRUNCATE ON sender_logins
    FOR EACH STATEMENT EXECUTE FUNCTION korvane_notify_service('mailaddrmap');
CREATE TRIGGER relay_networks_korvane AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE
    ON relay_networks FOR EACH STATEMENT EXECUTE FUNCTION korvane_notify_service('netaddr');
CREATE TRIGGER source_addresses_korvane AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE
    ON source_addresses FOR EACH STATEMENT EXECUTE FUNCTION korvane_notify_service('source');
