# Which fuzz targets each program gets: the network loaders where there is a
# network, the analysis-mode reader where the modes exist.  Read by the fuzz
# build (tests/fuzz/CMakeLists.txt) and by the replay tests of the ordinary
# suite (tests/CMakeLists.txt).
set(VEXAR_FUZZ_PROGRAMS vexar-0.9-avx vexar-0.9 vexar-0.8 vexar-0.7 vexar-0.7-bmi2 vexar-0.6-bmi2 vexar-0.3-popcnt)
set(VEXAR_FUZZ_KINDS_vexar-0.9-avx commands fen network)
set(VEXAR_FUZZ_KINDS_vexar-0.9 commands fen network)
set(VEXAR_FUZZ_KINDS_vexar-0.7 commands fen analysis)
set(VEXAR_FUZZ_KINDS_vexar-0.7-bmi2 commands fen)
set(VEXAR_FUZZ_KINDS_vexar-0.6-bmi2 commands)
set(VEXAR_FUZZ_KINDS_vexar-0.3-popcnt commands)
set(VEXAR_FUZZ_KINDS_vexar-0.8 commands fen network)
