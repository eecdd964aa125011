# Runs the README's C example without arguments in an empty directory and
# checks its output, the file it wrote, and that the session left nothing else.
# Usage: cmake -DPROGRAM=<readme_example> -DWORK_DIR=<scratch directory> -P run_example.cmake

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND "${PROGRAM}"
  WORKING_DIRECTORY "${WORK_DIR}"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors)

if(NOT result EQUAL 0)
  message(FATAL_ERROR "the example exited with ${result}\nstdout:\n${output}\nstderr:\n${errors}")
endif()
set(expected "after edits: >> Hello, skarn!\nafter undo:  >> Hello, world!\n")
if(NOT output STREQUAL expected)
  message(FATAL_ERROR "unexpected output:\n${output}\nexpected:\n${expected}\nstderr:\n${errors}")
endif()

file(GLOB left LIST_DIRECTORIES true RELATIVE "${WORK_DIR}" "${WORK_DIR}/*" "${WORK_DIR}/.*")
if(NOT left STREQUAL "example.txt")
  message(FATAL_ERROR "the directory should hold only example.txt, it holds: ${left}")
endif()
file(READ "${WORK_DIR}/example.txt" content)
if(NOT content STREQUAL "Hello, world!")
  message(FATAL_ERROR "example.txt was changed: '${content}'")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
