# The compiled module twolocus._core (src/python/core.cpp), with pybind11,
# for Debian's /usr/bin/python3 (another python3 may come first on PATH).
# It is built into BUILD/python/twolocus, where the package in python/
# finds it in the repository (python/twolocus/__init__.py), and installed
# beside the package (cmake/install.cmake).
#
# The module is a shared object, so it is built from its own copy of the
# engines' sources compiled as position-independent code; the programs
# keep their own objects and speed.

if(NOT DEFINED Python_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "The Python the module is built for")
endif()
set(PYBIND11_FINDPYTHON ON)
find_package(Python 3 REQUIRED COMPONENTS Interpreter Development.Module)
find_package(pybind11 CONFIG REQUIRED)

get_target_property(twolocus_model_sources twolocus_model SOURCES)
get_target_property(twolocus_io_sources twolocus_io SOURCES)
get_target_property(twolocus_run_sources twolocus_run SOURCES)
get_target_property(twolocus_demes_sources twolocus_demes SOURCES)
add_library(twolocus_python_engines STATIC
  ${twolocus_model_sources} ${twolocus_io_sources} ${twolocus_demes_sources} ${twolocus_run_sources})
target_include_directories(twolocus_python_engines PUBLIC src)
target_include_directories(twolocus_python_engines SYSTEM PUBLIC
                           ${RANDOM123_INCLUDE_DIR} ${BOOST_RANDOM_INCLUDE_DIR})
set_target_properties(twolocus_python_engines PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_link_libraries(twolocus_python_engines PRIVATE yaml-cpp)
target_compile_options(twolocus_python_engines PRIVATE -fno-semantic-interposition)

pybind11_add_module(twolocus_core MODULE src/python/core.cpp)
target_link_libraries(twolocus_core PRIVATE twolocus_python_engines)
set_target_properties(twolocus_core PROPERTIES OUTPUT_NAME _core
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/python/twolocus)
# pybind11 links the module with link-time optimisation; let GCC run its
# jobs in parallel instead of warning that it runs them one after another.
target_link_options(twolocus_core PRIVATE -flto=auto)
