# The stateful fuzzer's sources, one list for both editions' builds
# (tests/CMakeLists.txt and bridge/x64/CMakeLists.txt).
set(STORE_FUZZ_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/fault_control.cpp
    ${CMAKE_CURRENT_LIST_DIR}/module_allocations.cpp
    ${CMAKE_CURRENT_LIST_DIR}/second_client.cpp
    ${CMAKE_CURRENT_LIST_DIR}/store_fuzz.cpp
    ${CMAKE_CURRENT_LIST_DIR}/store_model.cpp
    ${CMAKE_CURRENT_LIST_DIR}/store_session.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../support/built_module.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../support/process_usage.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../../common/wfx_module.cpp
)
