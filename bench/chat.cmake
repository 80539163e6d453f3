# The chat benchmarks: whole windows on loopback, each figure printed beside a
# baseline measured in the same run. They print figures; they are not tests.
add_executable(chat_bench ${CMAKE_CURRENT_LIST_DIR}/chat_bench.cpp)
target_link_libraries(chat_bench PRIVATE vz_chat Qt6::Widgets Qt6::Network)
target_compile_options(chat_bench PRIVATE -Wall -Wextra)
set_target_properties(chat_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
