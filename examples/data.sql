-- Sample data for schema.sql.
INSERT INTO domains VALUES ('example.org'), ('example.net');

INSERT INTO mailboxes VALUES
 ('alice@example.org', 'example.org',
  '$2b$10$Vb7Ha5vx0pjcZ1B3F9pV8uWm8s6fQ1yZ2hX3G4kL5mN6oP7qR8sT.', 2000, 2000,
  '/var/vmail/example.org/alice', 'Alice Liddell'),
 ('bob@example.org', 'example.org',
  '$2b$10$Qm1nB2vC3xZ4lK5jH6gF7dS8aP9oI0uY1tR2eW3qE4rT5yU6iO7pA', 2000, 2000,
  '/var/vmail/example.org/bob', 'Bob Builder'),
 ('carol@example.net', 'example.net',
  '$2b$10$Zx9cV8bN7mL6kJ5hG4fD3sA2pO1iU0yT9rE8wQ7eR6tY5uI4oP3aS', 2000, 2000,
  '/var/vmail/example.net/carol', NULL);

INSERT INTO aliases VALUES
 ('postmaster@example.org', 'alice@example.org', 1),
 ('postmaster@example.org', 'bob@example.org', 2),
 ('abuse@example.org', 'postmaster@example.org', 1),
 ('team@example.net', 'carol@example.net', 1),
 ('team@example.net', 'alice@example.org', 2),
 ('team@example.net', 'bob@example.org', 3);

INSERT INTO relay_networks VALUES
 ('127.0.0.0/8', 'loopback'),
 ('192.0.2.0/24', 'office'),
 ('2001:db8::/32', 'office IPv6');

INSERT INTO source_addresses VALUES
 ('198.51.100.10', true),
 ('198.51.100.11', true),
 ('198.51.100.12', true),
 ('198.51.100.13', false);

INSERT INTO sender_logins VALUES
 ('alice@example.org', 'alice@example.org'),
 ('alice@example.org', 'postmaster@example.org'),
 ('bob@example.org', 'bob@example.org');
