# ivrac is started once per command and must start fast. Under Wine every
# statically imported system DLL costs tens of milliseconds at each start, even
# when the command never calls into it, so ivrac links these DLLs through
# delay-import libraries: each one loads on the first call into it.
# Sets IVRAC_DELAY_LIBS (the libraries to link ahead of IVRA_WIN_LIBS).
set(IVRAC_DELAY_DLLS user32 advapi32 shell32 dwmapi ole32 shlwapi gdi32 shcore version winhttp crypt32 psapi)
set(IVRAC_DELAY_LIBS "")
set(_delay_dir ${CMAKE_BINARY_DIR}/delayload)
file(MAKE_DIRECTORY ${_delay_dir})
foreach(dll ${IVRAC_DELAY_DLLS})
  find_library(IVRAC_IMPLIB_${dll} NAMES lib${dll}.a)
  if(NOT IVRAC_IMPLIB_${dll})
    # Without it ivrac simply imports that DLL the usual way.
    message(STATUS "ivrac: no import library for ${dll}; not delay-loaded")
    continue()
  endif()
  set(_implib ${IVRAC_IMPLIB_${dll}})
  set(_lib ${_delay_dir}/lib${dll}_delay.a)
  if(NOT EXISTS ${_lib} OR ${_implib} IS_NEWER_THAN ${_lib})
    # Every function the import library names, as a module-definition file.
    execute_process(COMMAND ${CMAKE_NM} -g ${_implib}
                    COMMAND sed -n "s/^[0-9a-f]* I __imp_//p"
                    COMMAND sort -u
                    OUTPUT_VARIABLE _names RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0 OR _names STREQUAL "")
      message(FATAL_ERROR "cannot list the exports of ${_implib}")
    endif()
    file(WRITE ${_delay_dir}/${dll}.def "LIBRARY ${dll}.dll\nEXPORTS\n${_names}")
    execute_process(COMMAND ${CMAKE_DLLTOOL} --input-def ${_delay_dir}/${dll}.def --dllname ${dll}.dll
                            --output-delaylib ${_lib}
                    RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "dlltool could not build ${_lib}")
    endif()
  endif()
  list(APPEND IVRAC_DELAY_LIBS ${_lib})
endforeach()
list(APPEND IVRAC_DELAY_LIBS delayimp)
