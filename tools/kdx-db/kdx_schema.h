#pragma once
// The KDX schema scripts of etc/schema, built into kdx-db so that it needs no other file.

extern const char kKdxSqliteSchema[];
extern const char kKdxPostgresqlSchema[];
