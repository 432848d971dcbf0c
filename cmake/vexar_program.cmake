# vexar_program(NAME GENERATION KERNELS)
#
# One engine program: the shared sources compiled with the generation number
# and the instruction-set flags of the kernel set, plus that kernel set's file.
# The library NAME-lib holds everything but the entry point, so the tests run
# against exactly the code each program ships.
set(VEXAR_KERNEL_FLAGS_avx -mavx -mpopcnt -mbmi)
set(VEXAR_KERNEL_FLAGS_sse -msse2 -mpopcnt -mbmi)

function(vexar_program NAME GENERATION KERNELS)
  set(lib ${NAME}-lib)
  add_library(${lib} STATIC ${VEXAR_CORE_SOURCES} eval/kernels_${KERNELS}.cpp)
  target_include_directories(${lib} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${lib} PUBLIC VEXAR_GENERATION=${GENERATION})
  # -ffp-contract=off keeps every multiply and add separate, so each build sums
  # exactly in the order its kernels spell out.
  target_compile_options(${lib} PUBLIC ${VEXAR_KERNEL_FLAGS_${KERNELS}} -ffp-contract=off)
  target_link_libraries(${lib} PUBLIC Threads::Threads vexar-embedded-network)
  if(VEXAR_WERROR)
    target_compile_options(${lib} PRIVATE -Werror)
  endif()
  set_property(TARGET ${lib} PROPERTY VEXAR_KERNELS ${KERNELS})

  add_executable(${NAME} uci/main.cpp)
  target_link_libraries(${NAME} PRIVATE ${lib})
  if(VEXAR_WERROR)
    target_compile_options(${NAME} PRIVATE -Werror)
  endif()
endfunction()
