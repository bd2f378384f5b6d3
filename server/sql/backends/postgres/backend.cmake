# The PostgreSQL backend links libpq.
target_link_libraries(larkspire_server_core PUBLIC PkgConfig::LIBPQ)
