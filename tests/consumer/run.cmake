# Builds and runs tests/consumer in each way a project takes Halvex: find_package and pkg-config
# against an install of the build tree, and add_subdirectory of the source tree.
# cmake -DBUILD=<halvex build> -DSOURCE=<halvex source> -DWORK=<scratch> -DWAYS=<list> -P run.cmake
cmake_minimum_required(VERSION 3.24)
set(consumer ${SOURCE}/tests/consumer)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

function(expect_consumer what program)
  run("${what}: running" ${CMAKE_COMMAND} -E env --unset=HALVEX_SIM_BOARDS ${program})
  if(NOT output MATCHES "consumer: halvex [0-9]+\\.[0-9]+\\.[0-9]+ \\(runs [0-9]+\\), 3 boards, read ERROR_SUCCESS")
    message(FATAL_ERROR "${what}: unexpected output: ${output}")
  endif()
  message(STATUS "${what}: ${output}")
endfunction()

if(find_package IN_LIST WAYS OR pkg-config IN_LIST WAYS)
  run("install" ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix)
endif()

if(find_package IN_LIST WAYS)
  run("find_package: configure" ${CMAKE_COMMAND} -S ${consumer} -B ${WORK}/find -G Ninja
      -DCMAKE_PREFIX_PATH=${WORK}/prefix)
  run("find_package: build" ${CMAKE_COMMAND} --build ${WORK}/find)
  expect_consumer("find_package" ${WORK}/find/consumer)
endif()

# The installed Python package finds the library it was installed with, by the directory the
# install recorded beside it (only `import halvex` and the board list: no numpy needed).
if(find_package IN_LIST WAYS)
  # The package needs numpy: Debian's Python has it where another python3 on the path may not.
  unset(PYTHON3)
  foreach(candidate /usr/bin/python3 python3)
    find_program(python_path ${candidate} NO_CACHE)
    if(python_path)
      execute_process(COMMAND ${python_path} -c "import numpy" RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
      if(missing EQUAL 0)
        set(PYTHON3 ${python_path})
        break()
      endif()
    endif()
    unset(python_path)
  endforeach()
  if(PYTHON3)
    set(python_dir ${WORK}/prefix/lib/python3/dist-packages)
    run("python: import the installed package" ${CMAKE_COMMAND} -E env --unset=HALVEX_SIM_BOARDS
        --unset=HALVEX_LIBRARY --unset=LD_LIBRARY_PATH PYTHONPATH=${python_dir} PYTHONDONTWRITEBYTECODE=1
        ${PYTHON3} -c "import halvex, halvex._library as l\nprint(l.library().halvex_path, len(halvex.boards()))")
    if(NOT output STREQUAL "${WORK}/prefix/lib/libhalvex.so.0 3\n")
      message(FATAL_ERROR "python: unexpected output: ${output}")
    endif()
    message(STATUS "python: ${output}")
  endif()
endif()

if(pkg-config IN_LIST WAYS)
  find_program(PKG_CONFIG NAMES pkgconf pkg-config REQUIRED)
  set(ENV{PKG_CONFIG_PATH} ${WORK}/prefix/lib/pkgconfig)
  run("pkg-config --cflags" ${PKG_CONFIG} --cflags halvex)
  separate_arguments(cflags UNIX_COMMAND "${output}")
  run("pkg-config --libs" ${PKG_CONFIG} --libs halvex)
  separate_arguments(libs UNIX_COMMAND "${output}")
  run("pkg-config: compile" cc -std=c11 ${cflags} ${consumer}/consumer.c ${libs} -o ${WORK}/consumer-pc
      -Wl,-rpath,${WORK}/prefix/lib)
  expect_consumer("pkg-config" ${WORK}/consumer-pc)
endif()

if(add_subdirectory IN_LIST WAYS)
  run("add_subdirectory: configure" ${CMAKE_COMMAND} -S ${consumer} -B ${WORK}/sub -G Ninja
      -DHALVEX_SOURCE_DIR=${SOURCE})
  run("add_subdirectory: build" ${CMAKE_COMMAND} --build ${WORK}/sub)
  expect_consumer("add_subdirectory" ${WORK}/sub/consumer)
endif()
