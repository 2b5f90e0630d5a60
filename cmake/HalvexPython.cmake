# The Python package (python/halvex): installed with the library, with the library's directory
# recorded beside it so that it finds the library it was installed with; and its pytest suite,
# run against this build's library.
option(HALVEX_PYTHON "Install the Python package and test it" ON)
if(NOT HALVEX_PYTHON)
  return()
endif()

if(WIN32)
  set(HALVEX_PYTHON_DIR python CACHE STRING "Where the Python package is installed, relative to the prefix")
  set(halvex_library_dir ${CMAKE_INSTALL_BINDIR})
else()
  set(HALVEX_PYTHON_DIR lib/python3/dist-packages CACHE STRING
      "Where the Python package is installed, relative to the prefix")
  set(halvex_library_dir ${CMAKE_INSTALL_LIBDIR})
endif()
install(DIRECTORY python/halvex DESTINATION ${HALVEX_PYTHON_DIR}
        FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE PATTERN "_recorded.py" EXCLUDE)
# Written when installing, so a --prefix given then is the one recorded.
install(CODE "
  set(recorded \"\${CMAKE_INSTALL_PREFIX}/${halvex_library_dir}\")
  file(WRITE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${HALVEX_PYTHON_DIR}/halvex/_recorded.py\"
       \"# Written by cmake --install: where the library was installed.\\nLIBRARY_DIR = r'\${recorded}'\\n\")
")

if(NOT HALVEX_TESTS OR WIN32 OR HALVEX_SANITIZE)
  return()
endif()

# The first Python that has what the suite needs: Debian's, then whatever is on the path.
set(halvex_python "")
foreach(candidate /usr/bin/python3 python3)
  find_program(halvex_candidate_path ${candidate} NO_CACHE)
  if(halvex_candidate_path)
    execute_process(COMMAND ${halvex_candidate_path} -c "import numpy, matplotlib, pytest"
                    RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
    if(missing EQUAL 0)
      set(halvex_python ${halvex_candidate_path})
      break()
    endif()
  endif()
  unset(halvex_candidate_path)
endforeach()

set(halvex_pytest_env HALVEX_LIBRARY=$<TARGET_FILE:halvex> PYTHONDONTWRITEBYTECODE=1 MPLBACKEND=Agg)
if(TARGET hxcli)
  list(APPEND halvex_pytest_env HXCLI=$<TARGET_FILE:hxcli>)
endif()
file(GLOB halvex_pytest_files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/tests/test_*.py)
foreach(file IN LISTS halvex_pytest_files)
  get_filename_component(name ${file} NAME_WE)
  if(halvex_python)
    add_test(NAME python_${name}
             COMMAND ${halvex_python} -m pytest -q -p no:cacheprovider ${file}
             WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/python)
  else()
    add_test(NAME python_${name}
             COMMAND ${CMAKE_COMMAND} -E echo
                     "no python3 with numpy, matplotlib and pytest: run scripts/setup.sh (as root) to install them")
    set_tests_properties(python_${name} PROPERTIES WILL_FAIL TRUE)
  endif()
  set_tests_properties(python_${name} PROPERTIES ENVIRONMENT "${halvex_pytest_env}" TIMEOUT 300)
endforeach()
