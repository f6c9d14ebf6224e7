# Drives one consumer check: cmake -DSTEP=<step> -D... -P run.cmake
#
#   install    cmake --install the build tree into WORK/installed/staging, then
#              move the tree to WORK/installed/moved, so that nothing may rely
#              on where it was installed
#   package    build and run the find_package host against the moved tree
#   pkgconfig  build and run the pkg-config host against the moved tree
#   probe      run the installed qel-probe: it finds the moved library
#   embed      build and run the add_subdirectory host from SOURCE_DIR
#   python     run examples/qel_predict.py (PYTHON) on the built library
#              (LIBRARY): it prints what the C example (C_EXAMPLE) prints, and
#              predicts the same from every form of input (python_inputs.py)
#
# Variables: STEP, WORK, SOURCE_DIR, BUILD_DIR, VERSION, ABI, GENERATOR,
# C_COMPILER, CXX_COMPILER; PYTHON, LIBRARY, C_EXAMPLE for the python step.
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "${command}\nfailed (${status}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(installed ${WORK}/installed)
set(moved ${installed}/moved)
set(here ${CMAKE_CURRENT_LIST_DIR})
set(compilers -G ${GENERATOR} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})

# Configures, builds and runs one host project; the host must load its
# library from under `from`.
function(host name from)
  set(dir ${WORK}/${name})
  if(NOT name STREQUAL "embed")
    set(dir ${installed}/${name})
  endif()
  file(REMOVE_RECURSE ${dir})
  run(${CMAKE_COMMAND} -S ${here}/${name} -B ${dir} ${compilers} ${ARGN})
  cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
  run(${CMAKE_COMMAND} --build ${dir} --parallel ${cores})
  run(${dir}/host)
  message(STATUS "${out}")
  file(REAL_PATH "${from}" from)
  if(NOT out MATCHES "\nloaded ([^\n]*)\n")
    message(FATAL_ERROR "the host did not say which library it loaded")
  endif()
  file(REAL_PATH "${CMAKE_MATCH_1}" loaded)
  string(FIND "${loaded}" "${from}/" at)
  if(NOT at EQUAL 0)
    message(FATAL_ERROR "the host loaded ${loaded}, not a library under ${from}")
  endif()
endfunction()

if(STEP STREQUAL "install")
  file(REMOVE_RECURSE ${installed})
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${installed}/staging)
  file(RENAME ${installed}/staging ${moved})
  # The library file, its SONAME link and the development link.
  foreach(name libqelcore.so.${VERSION} libqelcore.so.${ABI} libqelcore.so)
    if(NOT EXISTS ${moved}/lib/${name})
      message(FATAL_ERROR "not installed: lib/${name}")
    endif()
  endforeach()
  file(READ_SYMLINK ${moved}/lib/libqelcore.so dev_link)
  file(READ_SYMLINK ${moved}/lib/libqelcore.so.${ABI} soname_link)
  if(NOT dev_link STREQUAL "libqelcore.so.${ABI}" OR NOT soname_link STREQUAL "libqelcore.so.${VERSION}")
    message(FATAL_ERROR "links: libqelcore.so -> ${dev_link}, libqelcore.so.${ABI} -> ${soname_link}")
  endif()
  foreach(file include/qelcore.h include/qelcore_version.h lib/pkgconfig/qelcore.pc
          lib/cmake/qelcore/qelcoreConfig.cmake lib/cmake/qelcore/qelcoreConfigVersion.cmake bin/qel-probe)
    if(NOT EXISTS ${moved}/${file})
      message(FATAL_ERROR "not installed: ${file}")
    endif()
  endforeach()
elseif(STEP STREQUAL "package")
  host(package ${moved} -DQEL_PREFIX=${moved} -DQEL_VERSION=${VERSION} -DQEL_ABI=${ABI})
elseif(STEP STREQUAL "pkgconfig")
  set(ENV{PKG_CONFIG_LIBDIR} ${moved}/lib/pkgconfig)
  unset(ENV{PKG_CONFIG_PATH})
  host(pkgconfig ${moved} -DQEL_PREFIX=${moved} -DQEL_VERSION=${VERSION})
elseif(STEP STREQUAL "probe")
  # Only the program's own place leads to the library: no variables, no home.
  run(env -i ${moved}/bin/qel-probe)
  file(REAL_PATH ${moved} real_moved)
  set(expected "  -- Engine --\n  cli        ${VERSION}\n  library    ${real_moved}/lib/libqelcore.so\n"
               "  version    ${VERSION}\n  abi        ${ABI}\n\n")
  string(JOIN "" expected ${expected})
  if(NOT out STREQUAL expected)
    message(FATAL_ERROR "qel-probe printed:\n${out}\nexpected:\n${expected}")
  endif()
elseif(STEP STREQUAL "embed")
  host(embed ${WORK}/embed -DQEL_SOURCE_DIR=${SOURCE_DIR}
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
  # Only what the host needs is built: not the archive of the engine's
  # internals that the unit suites link.
  file(GLOB_RECURSE internals ${WORK}/embed/*qelcore_core*)
  if(internals)
    message(FATAL_ERROR "the embedded build made ${internals}")
  endif()
elseif(STEP STREQUAL "python")
  run(${C_EXAMPLE})
  set(c_out "${out}")
  run(${PYTHON} ${SOURCE_DIR}/examples/qel_predict.py --lib ${LIBRARY})
  if(NOT out STREQUAL c_out)
    message(FATAL_ERROR "the Python example printed:\n${out}\nthe C example:\n${c_out}")
  endif()
  # The same prediction from buffers in place, strided, reversed or of
  # another type.
  run(${PYTHON} ${here}/python_inputs.py --lib ${LIBRARY})
  message(STATUS "${out}")
else()
  message(FATAL_ERROR "unknown STEP '${STEP}'")
endif()
