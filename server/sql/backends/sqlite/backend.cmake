# The SQLite backend links the system's SQLite.
target_link_libraries(larkspire_server_core PUBLIC PkgConfig::SQLITE3)
