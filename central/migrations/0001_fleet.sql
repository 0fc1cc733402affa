-- The fleet as every depot writes it: each row carries the depot that wrote it, and
-- its key within that depot's own fleet.db, so that a row sent twice is one row.
CREATE TABLE depot(
    name text PRIMARY KEY,
    url text NOT NULL DEFAULT '',
    last_contact timestamptz NOT NULL DEFAULT now());

CREATE TABLE vehicle(
    depot text NOT NULL, name text NOT NULL,
    first_seen bigint NOT NULL, last_seen bigint NOT NULL, last_address text NOT NULL,
    visits bigint NOT NULL, files_total bigint NOT NULL, bytes_total bigint NOT NULL,
    files_last_visit bigint NOT NULL, bytes_last_visit bigint NOT NULL,
    last_complete_offload bigint NOT NULL, pending bigint NOT NULL,
    last_failure_time bigint NOT NULL, last_failure text NOT NULL, missed_dropped bigint NOT NULL,
    PRIMARY KEY(depot, name));
-- The fleet-wide view groups a vehicle's rows of every depot.
CREATE INDEX vehicle_by_name ON vehicle(name, last_seen);

CREATE TABLE day_total(
    depot text NOT NULL, name text NOT NULL, day bigint NOT NULL, files bigint NOT NULL, bytes bigint NOT NULL,
    PRIMARY KEY(depot, name, day));

-- Rows, not bytes: a recording's content stays at the depot that holds it.
CREATE TABLE recording(
    depot text NOT NULL, id bigint NOT NULL, vehicle text NOT NULL, channel integer NOT NULL,
    start_time bigint NOT NULL, end_time bigint NOT NULL, size bigint NOT NULL, path text NOT NULL,
    stored_at bigint NOT NULL, sha256 text, crc32 bigint, deleted_at bigint NOT NULL,
    PRIMARY KEY(depot, id));
-- As in each depot: a vehicle's window by channel and start, the fleet's by end.
CREATE INDEX recording_by_channel ON recording(vehicle, channel, start_time);
CREATE INDEX recording_by_end ON recording(end_time, vehicle);

CREATE TABLE footage_request(
    depot text NOT NULL, id bigint NOT NULL, vehicle text NOT NULL, channels text NOT NULL,
    time_from bigint NOT NULL, time_to bigint NOT NULL, reason text NOT NULL, requested_by text NOT NULL,
    created_at bigint NOT NULL, state text NOT NULL, reasons text NOT NULL, retry integer NOT NULL,
    state_changed_at bigint NOT NULL,
    PRIMARY KEY(depot, id));
CREATE INDEX footage_request_by_vehicle ON footage_request(vehicle, state);

CREATE TABLE footage_request_recording(
    depot text NOT NULL, request_id bigint NOT NULL, channel integer NOT NULL, file_name text NOT NULL,
    start_time bigint NOT NULL, end_time bigint NOT NULL, path text NOT NULL, size bigint NOT NULL,
    fetched integer NOT NULL,
    PRIMARY KEY(depot, request_id, channel, file_name, start_time));

CREATE TABLE footage_request_state(
    depot text NOT NULL, seq bigint NOT NULL, request_id bigint NOT NULL, state text NOT NULL,
    reasons text NOT NULL, at bigint NOT NULL,
    PRIMARY KEY(depot, seq));

CREATE TABLE audit(
    depot text NOT NULL, id bigint NOT NULL, at bigint NOT NULL, client text NOT NULL, role text NOT NULL,
    action text NOT NULL, object text NOT NULL, detail text NOT NULL,
    PRIMARY KEY(depot, id));
-- Nothing rewrites the trail, here as in each depot.
CREATE FUNCTION audit_append_only() RETURNS trigger LANGUAGE plpgsql AS
$$ BEGIN RAISE EXCEPTION 'the audit trail is append-only'; END $$;
CREATE TRIGGER audit_no_change BEFORE UPDATE OR DELETE ON audit
    FOR EACH ROW EXECUTE FUNCTION audit_append_only();
