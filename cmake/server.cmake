# The statistics server, native only: it stands on the report's portable
# code (the signing function and its MD5), so both ends sign alike.
find_package(Threads REQUIRED)
find_path(QV_SQLITE_INCLUDE sqlite3.h REQUIRED)
find_library(QV_SQLITE_LIBRARY sqlite3 REQUIRED)
find_path(QV_PQ_INCLUDE libpq-fe.h PATH_SUFFIXES postgresql REQUIRED)
find_library(QV_PQ_LIBRARY pq REQUIRED)

qv_layer(server
  PORTABLE Convert.cpp Dashboard.cpp Intake.cpp Listener.cpp Options.cpp PgStore.cpp SqliteStore.cpp Store.cpp
           Writer.cpp
  DEPENDS qv_report)
target_include_directories(qv_server SYSTEM PUBLIC ${QV_SQLITE_INCLUDE} ${QV_PQ_INCLUDE})
target_link_libraries(qv_server PUBLIC ${QV_SQLITE_LIBRARY} ${QV_PQ_LIBRARY} Threads::Threads)
target_compile_definitions(qv_server PUBLIC BOOST_ASIO_NO_DEPRECATED)

add_executable(qvstats server/Main.cpp)
target_link_libraries(qvstats PRIVATE qv_server)

# The benchmark's load generator and filler (bench/stats).
add_executable(qvload bench/qvload.cpp)
target_link_libraries(qvload PRIVATE qv_server Threads::Threads)
add_executable(qvfill bench/qvfill.cpp)
target_link_libraries(qvfill PRIVATE qv_server)
