# Default CUDA architectures for the toolkit at hand. Wanted: real code for
# compute capabilities 7.5, 8.0, 8.6, 8.9, 9.0, 10.0 and 12.0, PTX for 12.0, and
# PTX for 9.0 that the driver compiles for any newer device without real code
# here (10.x-and-later parts a toolkit predates, 11.x, whatever comes next).
# Each is kept only where the toolkit lists it: 10.0 and 12.0 arrive with CUDA
# 12.8, so older CUDA 12 toolkits get 7.5 to 9.0 plus the 9.0 PTX.
#
# Script mode, for checking a toolkit without configuring the project:
#   cmake -DQM_LISTED="<the toolkit's compute_NN or sm_NN names>" -P cmake/cuda_architectures.cmake

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_policy(VERSION 3.24)
endif()

# `listed`: the architecture names a toolkit reports, in any form that
# contains compute_NN or sm_NN.
function(qm_cuda_architectures_from_list listed out_var)
  string(REGEX MATCHALL "(compute|sm)_[0-9]+" names "${listed}")
  string(REGEX REPLACE "(compute|sm)_" "" ccs "${names}")
  set(archs "")
  foreach(cc 75 80 86 89 90 100 120)
    if(NOT cc IN_LIST ccs)
      continue()
    endif()
    if(cc EQUAL 90 OR cc EQUAL 120)
      list(APPEND archs "${cc}")  # real code and PTX
    else()
      list(APPEND archs "${cc}-real")
    endif()
  endforeach()
  if(NOT "90" IN_LIST archs)
    message(FATAL_ERROR "this CUDA toolkit cannot build for compute capability 9.0; CUDA 12 or newer is needed")
  endif()
  set(${out_var} "${archs}" PARENT_SCOPE)
endfunction()

function(qm_default_cuda_architectures out_var)
  if(NOT CMAKE_CUDA_COMPILER)
    include(CheckLanguage)
    check_language(CUDA)
  endif()
  if(NOT CMAKE_CUDA_COMPILER)
    message(FATAL_ERROR "QM_BACKEND=cuda needs a CUDA compiler (set CMAKE_CUDA_COMPILER or put nvcc on PATH)")
  endif()
  execute_process(COMMAND "${CMAKE_CUDA_COMPILER}" --list-gpu-arch OUTPUT_VARIABLE listed
                  RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${CMAKE_CUDA_COMPILER} --list-gpu-arch failed; set CMAKE_CUDA_ARCHITECTURES")
  endif()
  qm_cuda_architectures_from_list("${listed}" archs)
  set(${out_var} "${archs}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED QM_LISTED)
  qm_cuda_architectures_from_list("${QM_LISTED}" archs)
  message("${archs}")
endif()
