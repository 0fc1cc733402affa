-- A request is one request fleet-wide: the row of the depot it was made at (or one
-- written here directly, under a depot name of the writer's own) is the original; the
-- depot that takes it keeps a copy whose origin names the original.
ALTER TABLE footage_request
    ADD COLUMN origin_depot text NOT NULL DEFAULT '',
    ADD COLUMN origin_id bigint NOT NULL DEFAULT 0,
    ADD COLUMN taken_by text NOT NULL DEFAULT '';
CREATE INDEX footage_request_by_origin ON footage_request(origin_depot, origin_id) WHERE origin_depot <> '';

-- The one depot that fetches a request: the first to insert its row. A depot fetches a
-- request only once its claim stands, so two depots never both fetch it.
CREATE TABLE request_claim(
    origin_depot text NOT NULL,
    origin_id bigint NOT NULL,
    taken_by text NOT NULL,
    taken_at timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY(origin_depot, origin_id));

-- Every depot listens, so that a new request reaches a depot whose vehicle is there now.
CREATE FUNCTION footage_request_made() RETURNS trigger LANGUAGE plpgsql AS
$$ BEGIN PERFORM pg_notify('zel_footage_request', NEW.vehicle); RETURN NULL; END $$;
CREATE TRIGGER footage_request_made AFTER INSERT ON footage_request
    FOR EACH ROW WHEN (NEW.origin_depot = '') EXECUTE FUNCTION footage_request_made();
