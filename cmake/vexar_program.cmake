# vexar_program(NAME GENERATION KERNELS [ISA isa] [TABLE shared|full-key] [ACCUMULATOR king] [PEXT] [TABLEBASES])
#
# One engine program: the shared sources compiled with the generation number
# and the instruction-set flags, plus the network kernel file KERNELS names.
# ISA names the instruction set the program is built for (default: the one of
# its kernels); TABLE picks the transposition-table entry (search/tt.h), which
# must agree with the generation's row; PEXT looks sliding attacks up by parallel bit extraction
# instead of magic multiplication (BMI2 builds); TABLEBASES links the Syzygy
# prober (tb/), which the generation's row must ask for; ACCUMULATOR king links
# generation 0.8's king-relative first layer and its clipped forward pass
# (network/accumulator_king.cpp, network/kernels_fma.cpp) instead of network/accumulator.cpp.  The library NAME-lib holds
# everything but the entry point, so the tests run against exactly the code
# each program ships.
set(VEXAR_ISA_FLAGS_avx -mavx -mpopcnt -mbmi)
set(VEXAR_ISA_FLAGS_sse -msse2 -mpopcnt -mbmi)
# The x86-64 baseline: SSE2, bit scans by BSF, population counts in software.
# Tuned for a processor without BMI so that bit scans are plain BSF (tuning
# for newer ones writes them as REP BSF, which disassembles as TZCNT).
set(VEXAR_ISA_FLAGS_generic -msse2 -mno-popcnt -mno-bmi -mno-bmi2 -mno-avx -mno-lzcnt -mtune=core2)
set(VEXAR_ISA_FLAGS_bmi2 -mbmi -mbmi2 -mpopcnt)
set(VEXAR_ISA_FLAGS_popcnt -msse2 -mpopcnt)
set(VEXAR_ISA_FLAGS_avx-fma -mavx -mfma -mpopcnt)
set(VEXAR_ISA_FLAGS_bmi2-avx2 -mbmi -mbmi2 -mpopcnt -mavx2)

function(vexar_program NAME GENERATION KERNELS)
  cmake_parse_arguments(PARSE_ARGV 3 ARG "PEXT;TABLEBASES" "ISA;TABLE;ACCUMULATOR" "")
  if(NOT ARG_TABLE)
    set(ARG_TABLE shared)
  endif()
  if(NOT ARG_ISA)
    set(ARG_ISA ${KERNELS})
  endif()
  set(pext 0)
  if(ARG_PEXT)
    set(pext 1)
  endif()
  set(lib ${NAME}-lib)
  string(REPLACE "-" "_" table_file ${ARG_TABLE})
  if(ARG_ACCUMULATOR STREQUAL "king")
    set(first_layer network/accumulator_king.cpp network/kernels_fma.cpp)
  else()
    set(first_layer network/accumulator.cpp)
  endif()
  add_library(${lib} STATIC ${VEXAR_CORE_SOURCES} ${first_layer} network/kernels_${KERNELS}.cpp
                            search/tt_${table_file}_entry.cpp)
  target_include_directories(${lib} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${lib} PUBLIC VEXAR_GENERATION=${GENERATION} VEXAR_PEXT_SLIDERS=${pext})
  # -ffp-contract=off keeps every multiply and add separate, so each build sums
  # exactly in the order its kernels spell out.
  target_compile_options(${lib} PUBLIC ${VEXAR_ISA_FLAGS_${ARG_ISA}} -ffp-contract=off)
  target_link_libraries(${lib} PUBLIC Threads::Threads vexar-embedded-network)
  if(ARG_TABLEBASES)
    target_link_libraries(${lib} PUBLIC vexar-syzygy)
  endif()
  if(VEXAR_WERROR)
    target_compile_options(${lib} PRIVATE -Werror)
  endif()
  set_property(TARGET ${lib} PROPERTY VEXAR_KERNELS ${KERNELS})

  add_executable(${NAME} uci/main.cpp)
  target_link_libraries(${NAME} PRIVATE ${lib})
  if(VEXAR_WERROR)
    target_compile_options(${NAME} PRIVATE -Werror)
  endif()
  vexar_optimise_release(${lib} ${NAME})
endfunction()

# Link-time and profile-guided optimisation (VEXAR_LTO, VEXAR_PGO) of one
# program and its library.  The profile flags stay private to the engine's own
# objects; whatever links the library (the program, its tests and tools) gets
# the profiling run-time in the generate stage.  Functions the training run
# never reaches keep their normal optimisation (-fprofile-partial-training).
function(vexar_optimise_release lib program)
  if(VEXAR_LTO)
    set_property(TARGET ${lib} ${program} PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)
  endif()
  if(VEXAR_PGO STREQUAL "generate")
    target_compile_options(${lib} PRIVATE -fprofile-generate -fprofile-update=single)
    target_compile_options(${program} PRIVATE -fprofile-generate -fprofile-update=single)
    target_link_options(${lib} INTERFACE -fprofile-generate)
  elseif(VEXAR_PGO STREQUAL "use")
    set(use -fprofile-use -fprofile-partial-training -Wno-missing-profile)
    target_compile_options(${lib} PRIVATE ${use})
    target_compile_options(${program} PRIVATE ${use})
  endif()
endfunction()
