# SPDX-License-Identifier: Apache-2.0
# The version every program prints: the project version and, in a git
# checkout, `git describe --always --dirty`, both taken when the build is
# configured. The interface library rovelin_version carries the generated
# header "rovelin/version.hpp".
set(ROVELIN_GIT_DESCRIBE "")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    RESULT_VARIABLE git_status OUTPUT_VARIABLE git_top
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  # Only the project's own checkout counts: sources unpacked from a tarball
  # inside some other repository must not take that repository's revision.
  set(same_tree FALSE)
  if(git_status EQUAL 0)
    file(REAL_PATH "${git_top}" git_top)
    file(REAL_PATH "${PROJECT_SOURCE_DIR}" source_top)
    if(git_top STREQUAL source_top)
      set(same_tree TRUE)
    endif()
  endif()
  if(same_tree)
    execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      RESULT_VARIABLE git_status OUTPUT_VARIABLE describe
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(git_status EQUAL 0)
      # The text lands in a C++ string literal: keep it to the characters a
      # revision name is made of.
      string(REGEX REPLACE "[^A-Za-z0-9._+/-]" "_" ROVELIN_GIT_DESCRIBE "${describe}")
    endif()
    # A commit or a checkout of another branch configures again, so the
    # revision follows the work tree from one build to the next.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --symbolic-full-name HEAD
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE branch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    foreach(ref HEAD ${branch})
      execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path ${ref}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE ref_file OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(ref_file AND EXISTS "${ref_file}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ref_file}")
      endif()
    endforeach()
  endif()
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/version.hpp.in
  ${PROJECT_BINARY_DIR}/generated/rovelin/version.hpp @ONLY)
add_library(rovelin_version INTERFACE)
target_include_directories(rovelin_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
