# Helpers that keep every folder's CMakeLists short and the layering honest.
#
# tonvara_library(<target> DEPS <targets...> [LIBS <other libs...>])
#   Builds the folder's *.cpp into a static library. Its headers are reachable
#   as "<folder>/<Header>.h" only by targets that link it: each library
#   publishes a private include root holding one link to its own folder, so an
#   include across the layering that the links do not allow fails to compile.
function(tonvara_library target)
  cmake_parse_arguments(arg "" "" "DEPS;LIBS;EXCLUDE" ${ARGN})
  file(RELATIVE_PATH folder "${PROJECT_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}")
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  file(GLOB headers CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.h")
  foreach(ex IN LISTS arg_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "/${ex}$")
  endforeach()
  set(root "${PROJECT_BINARY_DIR}/include-roots/${target}")
  get_filename_component(parent "${root}/${folder}" DIRECTORY)
  file(MAKE_DIRECTORY "${parent}")
  if(NOT EXISTS "${root}/${folder}")
    file(CREATE_LINK "${CMAKE_CURRENT_SOURCE_DIR}" "${root}/${folder}" SYMBOLIC)
  endif()
  if(sources)
    add_library(${target} STATIC ${sources} ${headers})
    target_include_directories(${target} PUBLIC "${root}")
    target_link_libraries(${target} PUBLIC ${arg_DEPS} ${arg_LIBS})
  else()
    # A folder whose units are still headers only.
    add_library(${target} INTERFACE ${headers})
    target_include_directories(${target} INTERFACE "${root}")
    target_link_libraries(${target} INTERFACE ${arg_DEPS} ${arg_LIBS})
  endif()
endfunction()

# tonvara_audio_tests_need(<target>)
#   Adds a target to audio_tests, which builds what `ctest -L audio` runs
#   (scripts/check-sanitizers builds only that in its sanitizer trees).
function(tonvara_audio_tests_need target)
  if(NOT TARGET audio_tests)
    add_custom_target(audio_tests)
  endif()
  add_dependencies(audio_tests ${target})
endfunction()

# tonvara_test(<name> SOURCES <files...> LIBS <targets...>
#              [DISPLAY] [AUDIO] [TIMEOUT <s>] [LABELS <labels...>])
#   One GoogleTest executable; each of its cases becomes a ctest test.
#   Widget tests run on Qt's offscreen platform; DISPLAY tests need the X
#   server scripts/test starts, AUDIO tests its PulseAudio server. Both take
#   the "servers" resource lock and run one at a time: audio tests share the
#   one null sink, and windows of tests running side by side would cover each
#   other on the one screen (a grab would show the other test's window, a
#   second program would see the first one's splash box).
function(tonvara_test name)
  cmake_parse_arguments(arg "DISPLAY;AUDIO" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest GTest::gmock tonvara_test_main)
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 120)
  endif()
  set(labels ${arg_LABELS})
  if(arg_DISPLAY)
    list(APPEND labels display)
    set(platform xcb)
  else()
    set(platform offscreen)
  endif()
  set(locks "")
  if(arg_AUDIO)
    list(APPEND labels audio)
    tonvara_audio_tests_need(${name})
  endif()
  if(arg_AUDIO OR arg_DISPLAY)
    set(locks servers)
  endif()
  # gtest_discover_tests splits list-valued properties apart when the tests
  # are listed at test time, so each property here holds a single value; the
  # source and build folders reach the tests through tonvara_test_main.
  set(props TIMEOUT ${arg_TIMEOUT} ENVIRONMENT "QT_QPA_PLATFORM=${platform}")
  if(labels)
    list(JOIN labels "," label)
    list(APPEND props LABELS ${label})
  endif()
  if(locks)
    list(APPEND props RESOURCE_LOCK ${locks})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()

# tonvara_fuzz(<name> SOURCES <files...> LIBS <targets...>)
#   A libFuzzer target (LLVMFuzzerTestOneInput). With TONVARA_FUZZ it links
#   libFuzzer; otherwise it links a small driver that replays the corpus in
#   fuzz/corpus/<name> and a bounded run of generated inputs, registered as a
#   test so that every ordinary build exercises the parser with hostile bytes.
function(tonvara_fuzz name)
  cmake_parse_arguments(arg "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(fuzz_${name} ${arg_SOURCES})
  target_link_libraries(fuzz_${name} PRIVATE ${arg_LIBS})
  if(TONVARA_FUZZ)
    target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_link_libraries(fuzz_${name} PRIVATE tonvara_fuzz_driver)
    if(TONVARA_TESTS)
      add_test(NAME fuzz.${name}
               COMMAND fuzz_${name} "${PROJECT_SOURCE_DIR}/fuzz/corpus/${name}")
      set_tests_properties(fuzz.${name} PROPERTIES TIMEOUT 300 LABELS fuzz
                           ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
    endif()
  endif()
endfunction()

# tonvara_bench(<name> SOURCES <files...> LIBS <targets...>)
function(tonvara_bench name)
  cmake_parse_arguments(arg "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(bench_${name} ${arg_SOURCES})
  target_link_libraries(bench_${name} PRIVATE ${arg_LIBS} benchmark::benchmark)
endfunction()

# tonvara_test_folder(<prefix> LIBS <targets...> [TIMEOUT <s>])
#   The usual tests/<folder>/CMakeLists.txt: every *_test.cpp of the folder
#   goes into <prefix>_tests (offscreen), every *_x11_test.cpp into
#   <prefix>_x11_tests (needs the X server) and every *_audio_test.cpp into
#   <prefix>_audio_tests (needs the PulseAudio server, run one at a time).
#   Dropping a new test file into the folder is all it takes.
function(tonvara_test_folder prefix)
  cmake_parse_arguments(arg "" "TIMEOUT" "LIBS" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp")
  set(plain ${all})
  list(FILTER plain EXCLUDE REGEX "_(x11|audio)_test\\.cpp$")
  set(x11 ${all})
  list(FILTER x11 INCLUDE REGEX "_x11_test\\.cpp$")
  set(audio ${all})
  list(FILTER audio INCLUDE REGEX "_audio_test\\.cpp$")
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 120)
  endif()
  if(plain)
    tonvara_test(${prefix}_tests SOURCES ${plain} LIBS ${arg_LIBS} TIMEOUT ${arg_TIMEOUT})
  endif()
  if(x11)
    tonvara_test(${prefix}_x11_tests SOURCES ${x11} LIBS ${arg_LIBS} DISPLAY TIMEOUT ${arg_TIMEOUT})
  endif()
  if(audio)
    tonvara_test(${prefix}_audio_tests SOURCES ${audio} LIBS ${arg_LIBS} AUDIO TIMEOUT 600)
  endif()
endfunction()
