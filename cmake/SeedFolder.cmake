# Copies every file of FROM that TO does not have yet: the build tree gets the sample tool folder
# without overwriting what the program has changed there (the catalogue, snippet libraries).
file(GLOB_RECURSE files RELATIVE ${FROM} ${FROM}/*)
foreach(f IN LISTS files)
  if(NOT EXISTS ${TO}/${f})
    get_filename_component(dir ${TO}/${f} DIRECTORY)
    file(MAKE_DIRECTORY ${dir})
    file(COPY_FILE ${FROM}/${f} ${TO}/${f})
  endif()
endforeach()
