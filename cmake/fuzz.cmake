# Fuzzing. Each target runs under the tests in two ways:
#  - always, replayed over its seed corpus by a plain main, built with the
#    project's compiler against the core library;
#  - with KEXO_FUZZ, as a libFuzzer run of KEXO_FUZZ_SECONDS with clang under
#    AddressSanitizer and UndefinedBehaviorSanitizer, when clang and its fuzzer
#    runtime are here (Debian: clang and libclang-rt-14-dev); otherwise that
#    test is skipped.
set(KEXO_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzz target runs under the tests")
set(KEXO_CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus)
# The libraries each target tests; a libFuzzer build compiles their sources
# with clang, beside the target.
set(KEXO_FUZZ_compacta kexo_compaction)
set(KEXO_FUZZ_aviso kexo_notice kexo_lexical)
set(KEXO_FUZZ_lexico kexo_lexical kexo_compaction)

# The sources of the libraries named after `out`, and those every program needs.
function(kexo_fuentes_de out)
  set(fuentes)
  foreach(biblioteca ${ARGN} kexo_common kexo_trace_0)
    get_target_property(suyas ${biblioteca} SOURCES)
    list(APPEND fuentes ${suyas})
  endforeach()
  set(${out} ${fuentes} PARENT_SCOPE)
endfunction()

find_program(KEXO_CLANGXX NAMES clang++ clang++-14)
set(KEXO_HAS_LIBFUZZER OFF)
if(KEXO_FUZZ AND KEXO_CLANGXX)
  set(probe ${CMAKE_CURRENT_BINARY_DIR}/libfuzzer_probe)
  file(WRITE ${probe}.cc "#include <cstddef>\n#include <cstdint>\n"
       "extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n")
  execute_process(COMMAND ${KEXO_CLANGXX} -fsanitize=fuzzer ${probe}.cc -o ${probe}
                  RESULT_VARIABLE no_runtime OUTPUT_QUIET ERROR_QUIET)
  if(no_runtime EQUAL 0)
    set(KEXO_HAS_LIBFUZZER ON)
  endif()
endif()

foreach(target compacta aviso lexico)
  add_executable(${target}_repite fuzz/repite.cc fuzz/${target}_fuzz.cc
                                  $<TARGET_OBJECTS:kexo_trace_0>)
  target_link_libraries(${target}_repite PRIVATE ${KEXO_FUZZ_${target}})
  add_test(NAME fuzz_corpus_${target} COMMAND ${target}_repite ${KEXO_CORPUS}/${target})

  set(fuzzer ${CMAKE_CURRENT_BINARY_DIR}/fuzz/${target}_fuzz)
  if(KEXO_HAS_LIBFUZZER)
    kexo_fuentes_de(sources ${KEXO_FUZZ_${target}})
    list(APPEND sources fuzz/${target}_fuzz.cc)
    list(TRANSFORM sources PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
    add_custom_command(
      OUTPUT ${fuzzer}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/fuzz
      COMMAND ${KEXO_CLANGXX} -std=c++17 -O1 -g -I${CMAKE_CURRENT_SOURCE_DIR}
              -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all ${sources} ${KEXO_NETTLE}
              -o ${fuzzer}
      DEPENDS ${sources}
      COMMENT "Building the libFuzzer target ${target}_fuzz with clang")
    add_custom_target(${target}_fuzzer ALL DEPENDS ${fuzzer})
    # New inputs go to a scratch copy, so that the seed corpus stays as committed.
    add_test(NAME fuzz_${target}
             COMMAND sh -c "rm -rf \"$1\" && cp -r \"$2\" \"$1\" && \"$0\" -max_total_time=$3 -print_final_stats=1 \"$1\""
                     ${fuzzer} ${CMAKE_CURRENT_BINARY_DIR}/corpus_${target} ${KEXO_CORPUS}/${target}
                     ${KEXO_FUZZ_SECONDS})
  elseif(KEXO_FUZZ)
    add_test(NAME fuzz_${target}
             COMMAND sh -c "echo 'skipped: no clang with libFuzzer (apt-get install clang libclang-rt-14-dev)'; exit 77")
    set_tests_properties(fuzz_${target} PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endforeach()

# The probe into the lexical layer that the judges running PHP call
# (tests/juez_php.sh finds it beside kexo-arbol, tests/fuzz_php.py is given it).
add_executable(lexical_probe tests/sonda_lexica.cc $<TARGET_OBJECTS:kexo_trace_0>)
target_link_libraries(lexical_probe PRIVATE kexo_compaction kexo_lexical)
set_target_properties(lexical_probe PROPERTIES OUTPUT_NAME sonda_lexica)

# Differential fuzzing of the lexical check against PHP's own tokenizer:
# random PHP built from fragments, compacted both ways, judged by both. Off
# unless asked for; skipped without php or python3.
option(KEXO_FUZZ_PHP "With the tests: fuzz the lexical check against PHP's tokenizer" OFF)
set(KEXO_FUZZ_PHP_SECONDS 60 CACHE STRING "Seconds the fuzzing against PHP runs under the tests")
if(KEXO_FUZZ_PHP)
  add_test(NAME fuzz_php
           COMMAND sh -c "command -v python3 >/dev/null && command -v php >/dev/null || { echo 'skipped: no php or python3'; exit 77; }; exec python3 \"$0\" --sonda \"$1\" --segundos \"$2\" --salida \"$3\""
                   ${CMAKE_CURRENT_SOURCE_DIR}/tests/fuzz_php.py $<TARGET_FILE:lexical_probe>
                   ${KEXO_FUZZ_PHP_SECONDS} ${CMAKE_CURRENT_BINARY_DIR}/fuzz_php)
  set_tests_properties(fuzz_php PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 0)
endif()
