# The history store on a Redis server, built when hiredis is found: the
# library twredis (its users get TW_HAVE_REDIS), its test and benchmark.
# TW_HISTORY_ITEMS names the library that provides apply_update (by
# default twhistory_store).
option(TW_REDIS "Build the Redis history store when hiredis is there" ON)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND AND TW_REDIS)
  pkg_check_modules(HIREDIS hiredis)
endif()
if(NOT HIREDIS_FOUND)
  message(STATUS "Redis store not built in (no hiredis)")
else()
  if(NOT TW_HISTORY_ITEMS)
    set(TW_HISTORY_ITEMS twhistory_store)
  endif()
  add_library(twredis STATIC ${CMAKE_CURRENT_LIST_DIR}/redis_store.cc)
  target_link_libraries(twredis PUBLIC ${TW_HISTORY_ITEMS})
  target_include_directories(twredis PUBLIC ${CMAKE_CURRENT_LIST_DIR}
                                            ${HIREDIS_INCLUDE_DIRS})
  target_link_libraries(twredis PUBLIC ${HIREDIS_LINK_LIBRARIES})
  target_compile_definitions(twredis PUBLIC TW_HAVE_REDIS)

  # Against a private redis-server (tests/redis_env.sh); skipped without one.
  set(redis_env ${PROJECT_SOURCE_DIR}/tests/redis_env.sh)
  if(TW_TESTS)
    enable_testing()
    find_package(GTest REQUIRED)
    include(GoogleTest)
    add_executable(redis_store_test ${PROJECT_SOURCE_DIR}/tests/redis_store_test.cc)
    target_compile_definitions(redis_store_test PRIVATE REDIS_ENV="${redis_env}")
    target_link_libraries(redis_store_test PRIVATE twredis GTest::gtest_main)
    gtest_discover_tests(redis_store_test DISCOVERY_TIMEOUT 30
      PROPERTIES TIMEOUT 120)
  endif()
  # Records of five aggregates per second: one round trip per aggregate,
  # one per record, and the same changes in memory.
  if(TW_BENCH)
    find_package(benchmark REQUIRED)
    add_executable(tw_redis_bench ${PROJECT_SOURCE_DIR}/bench/redis_bench.cc)
    target_compile_definitions(tw_redis_bench PRIVATE REDIS_ENV="${redis_env}")
    target_link_libraries(tw_redis_bench PRIVATE twredis benchmark::benchmark)
  endif()
endif()
