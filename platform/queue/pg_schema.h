// pg_schema.h - the SQL that lays out the PostgreSQL store in a database
// (tables, indexes and the server-side functions every operation calls).
#pragma once

namespace krsoap::queue::pg {

extern const char* const kSchemaLockSql;     // serialises concurrent set-up
extern const char* const kSchemaVersionSql;  // one row when the schema is there
extern const char* const kSchemaSql;         // creates (or completes) it

}  // namespace krsoap::queue::pg
