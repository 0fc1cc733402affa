# Writes OUTPUT, a C++ source holding every .sql file of MIGRATION_DIR, in name order,
# as CentralMigrations(). Run by the build whenever a migration changes.
file(GLOB migrations RELATIVE ${MIGRATION_DIR} ${MIGRATION_DIR}/*.sql)
list(SORT migrations)
set(arrays "")
set(table "")
set(index 0)
foreach(migration ${migrations})
  file(READ ${MIGRATION_DIR}/${migration} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char kMigration${index}[] = {${bytes}0};\n")
  string(APPEND table "        {\"${migration}\", {reinterpret_cast<const char*>(kMigration${index}), ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT} "// Generated from central/migrations by central/EmbedMigrations.cmake; edits are lost.
#include \"central/CentralSchema.h\"

namespace {

${arrays}
} // namespace

std::vector<CentralMigration> CentralMigrations()
{
    return {
${table}    };
}
")
