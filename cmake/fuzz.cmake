# Fuzzing. Each target runs under the tests in two ways:
#  - replayed over its seed corpus by a plain main, with the project's compiler;
#  - as a libFuzzer run of KEXO_FUZZ_SECONDS with clang under AddressSanitizer
#    and UndefinedBehaviorSanitizer, when clang and its fuzzer runtime are here
#    (Debian: clang and libclang-rt-14-dev); otherwise that test is skipped.
set(KEXO_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzz target runs under the tests")
set(KEXO_CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus)
set(KEXO_FUZZ_compacta compaction/escanea.cc compaction/compacta.cc)
set(KEXO_FUZZ_aviso notice/aviso.cc ${KEXO_PLATAFORMA})

find_program(KEXO_CLANGXX NAMES clang++ clang++-14)
set(KEXO_HAY_LIBFUZZER OFF)
if(KEXO_CLANGXX)
  set(prueba ${CMAKE_CURRENT_BINARY_DIR}/libfuzzer_prueba)
  file(WRITE ${prueba}.cc "#include <cstddef>\n#include <cstdint>\n"
       "extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n")
  execute_process(COMMAND ${KEXO_CLANGXX} -fsanitize=fuzzer ${prueba}.cc -o ${prueba}
                  RESULT_VARIABLE sin_runtime OUTPUT_QUIET ERROR_QUIET)
  if(sin_runtime EQUAL 0)
    set(KEXO_HAY_LIBFUZZER ON)
  endif()
endif()

foreach(objetivo compacta aviso)
  add_executable(${objetivo}_repite fuzz/repite.cc fuzz/${objetivo}_fuzz.cc ${KEXO_FUZZ_${objetivo}})
  target_include_directories(${objetivo}_repite PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  add_test(NAME fuzz_corpus_${objetivo} COMMAND ${objetivo}_repite ${KEXO_CORPUS}/${objetivo})

  set(fuzzer ${CMAKE_CURRENT_BINARY_DIR}/fuzz/${objetivo}_fuzz)
  if(KEXO_HAY_LIBFUZZER)
    set(fuentes fuzz/${objetivo}_fuzz.cc ${KEXO_FUZZ_${objetivo}})
    list(TRANSFORM fuentes PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
    add_custom_command(
      OUTPUT ${fuzzer}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/fuzz
      COMMAND ${KEXO_CLANGXX} -std=c++17 -O1 -g -I${CMAKE_CURRENT_SOURCE_DIR}
              -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all ${fuentes} -o ${fuzzer}
      DEPENDS ${fuentes}
      COMMENT "Building the libFuzzer target ${objetivo}_fuzz with clang")
    add_custom_target(${objetivo}_fuzzer ALL DEPENDS ${fuzzer})
    # New inputs go to a scratch copy, so that the seed corpus stays as committed.
    add_test(NAME fuzz_${objetivo}
             COMMAND sh -c "rm -rf \"$1\" && cp -r \"$2\" \"$1\" && \"$0\" -max_total_time=$3 -print_final_stats=1 \"$1\""
                     ${fuzzer} ${CMAKE_CURRENT_BINARY_DIR}/corpus_${objetivo} ${KEXO_CORPUS}/${objetivo}
                     ${KEXO_FUZZ_SECONDS})
  else()
    add_test(NAME fuzz_${objetivo}
             COMMAND sh -c "echo 'skipped: no clang with libFuzzer (apt-get install clang libclang-rt-14-dev)'; exit 77")
    set_tests_properties(fuzz_${objetivo} PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endforeach()
