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
