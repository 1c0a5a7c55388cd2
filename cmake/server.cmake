# The statistics server, native only: it stands on the report's portable
# code (the signing function and its MD5), so both ends sign alike.
find_package(Threads REQUIRED)
find_path(QV_SQLITE_INCLUDE sqlite3.h REQUIRED)
find_library(QV_SQLITE_LIBRARY sqlite3 REQUIRED)
find_path(QV_PQ_INCLUDE libpq-fe.h PATH_SUFFIXES postgresql REQUIRED)
find_library(QV_PQ_LIBRARY pq REQUIRED)
# prometheus-cpp's core only (its package configuration would also want the
# pull and push parts' dependencies): our own listener serves the metrics.
find_path(QV_PROMETHEUS_INCLUDE prometheus/registry.h REQUIRED)
find_library(QV_PROMETHEUS_LIBRARY prometheus-cpp-core REQUIRED)

qv_layer(server
  PORTABLE Accept.cpp Api.cpp Convert.cpp Counting.cpp Csv.cpp Dashboard.cpp Days.cpp Intake.cpp Listener.cpp Log.cpp
           Metrics.cpp Options.cpp Page.cpp PgStore.cpp Retention.cpp Schema.cpp Sources.cpp Spool.cpp Sql.cpp
           SqliteStore.cpp Store.cpp Writer.cpp
  DEPENDS qv_report)
target_include_directories(qv_server SYSTEM PUBLIC ${QV_SQLITE_INCLUDE} ${QV_PQ_INCLUDE} ${QV_PROMETHEUS_INCLUDE})
target_link_libraries(qv_server PUBLIC ${QV_SQLITE_LIBRARY} ${QV_PQ_LIBRARY} ${QV_PROMETHEUS_LIBRARY} Threads::Threads)
target_compile_definitions(qv_server PUBLIC BOOST_ASIO_NO_DEPRECATED)

add_executable(qvstats server/Main.cpp)
target_link_libraries(qvstats PRIVATE qv_server)

# The benchmark's load generator and filler (bench/stats).
add_executable(qvload bench/qvload.cpp)
target_link_libraries(qvload PRIVATE qv_server Threads::Threads)
add_executable(qvfill bench/qvfill.cpp)
target_link_libraries(qvfill PRIVATE qv_server)

if(TARGET GTest::gtest_main)
  add_executable(qv_server_tests tests/server/IntakeTest.cpp tests/server/StoreTest.cpp tests/server/DashboardTest.cpp
    tests/server/WriterTest.cpp tests/server/SourcesTest.cpp)
  target_include_directories(qv_server_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(qv_server_tests PRIVATE qv_server GTest::gtest_main)
  gtest_discover_tests(qv_server_tests DISCOVERY_TIMEOUT 60 TEST_PREFIX server. PROPERTIES ENVIRONMENT TZ=UTC0)
  # The store's cases again, against a real PostgreSQL of their own, with a
  # name server that never answers.
  add_test(NAME server.stores_postgresql
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tools/netns-run.sh ${CMAKE_CURRENT_SOURCE_DIR}/tests/server/with_silent_dns.sh
            ${CMAKE_CURRENT_SOURCE_DIR}/tests/server/with_pg.sh
            $<TARGET_FILE:qv_server_tests> --gtest_filter=*/postgresql:PgConnectionTest.*)
  set_tests_properties(server.stores_postgresql PROPERTIES ENVIRONMENT TZ=UTC0 TIMEOUT 300)
endif()

# The dashboard's numbers against PostgreSQL too.
add_test(NAME server.dashboard_postgresql
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tools/netns-run.sh ${CMAKE_CURRENT_SOURCE_DIR}/tests/server/with_pg.sh
          python3 ${CMAKE_CURRENT_SOURCE_DIR}/tests/server/test_dashboard.py)
set_tests_properties(server.dashboard_postgresql PROPERTIES TIMEOUT 300
  ENVIRONMENT "QVSTATS=$<TARGET_FILE:qvstats>;QV_SOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR};QV_BUILD_DIR=${CMAKE_BINARY_DIR};PYTHONDONTWRITEBYTECODE=1")

# The server for real, each test in a network namespace of its own.
foreach(test http slow storage dashboard outage operations retention forgery)
  add_test(NAME server.${test}
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tools/netns-run.sh python3 ${CMAKE_CURRENT_SOURCE_DIR}/tests/server/test_${test}.py)
  set_tests_properties(server.${test} PROPERTIES TIMEOUT 300
    ENVIRONMENT "QVSTATS=$<TARGET_FILE:qvstats>;QV_SOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR};QV_BUILD_DIR=${CMAKE_BINARY_DIR};PYTHONDONTWRITEBYTECODE=1")
endforeach()
