# Update keys: the Ed25519 public keys an agent program trusts for signed updates. A value is
# empty (no signature is looked at) or keys separated by commas, each the standard base64 of its
# 32 bytes, as `vexo-answer keygen` prints them, encoding a point of the curve that is not of
# small order. Anything else stops the configure step.

# vexo_update_key_checker(out_var): the program that applies the agent's own key check, built
# with libgcrypt for this machine once per build tree (a cross build's programs cannot run
# here). A script (cmake -P) is given its path as VEXO_UPDATE_KEY_CHECKER.
function(vexo_update_key_checker out_var)
  if(CMAKE_SCRIPT_MODE_FILE)
    set(${out_var} "${VEXO_UPDATE_KEY_CHECKER}" PARENT_SCOPE)
    return()
  endif()
  set(dir ${CMAKE_BINARY_DIR}/update-key-check)
  if(NOT EXISTS ${dir}/CMakeCache.txt)
    # CMake hands its own compiler to child processes in CC and CXX; the check wants this
    # machine's.
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env --unset=CC --unset=CXX
              ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/update_key_check -B ${dir}
              -G ${CMAKE_GENERATOR} -DCMAKE_BUILD_TYPE=Release -DVEXO_SOURCE_DIR=${PROJECT_SOURCE_DIR}
      RESULT_VARIABLE failed OUTPUT_VARIABLE log ERROR_VARIABLE log)
  endif()
  if(NOT failed)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${dir}
                    RESULT_VARIABLE failed OUTPUT_VARIABLE log ERROR_VARIABLE log)
  endif()
  if(failed)
    message(FATAL_ERROR "Cannot build the update key check in ${dir}:\n${log}")
  endif()
  set(VEXO_UPDATE_KEY_CHECKER ${dir}/vexo-update-key-check CACHE INTERNAL
      "The native program that checks update keys")
  set(${out_var} ${VEXO_UPDATE_KEY_CHECKER} PARENT_SCOPE)
endfunction()

# The keys of `items` that are not public keys, by the agent's own check; empty when all are.
function(vexo_keys_off_the_curve items out_var)
  vexo_update_key_checker(checker)
  execute_process(COMMAND ${checker} ${items} RESULT_VARIABLE result
                  OUTPUT_VARIABLE rejected OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT result EQUAL 0 AND rejected STREQUAL "")
    message(FATAL_ERROR "The update key check '${checker}' failed: ${result}")
  endif()
  string(REPLACE "\n" ";" rejected "${rejected}")
  set(${out_var} "${rejected}" PARENT_SCOPE)
endfunction()

# vexo_check_update_keys(label keys entries_var count_var): checks `keys` (named `label` in
# messages); gives the C++ initializers of the generated source and the number of keys.
function(vexo_check_update_keys label keys entries_var count_var)
  string(STRIP "${keys}" keys)
  set(entries "")
  set(checked "")
  set(count 0)
  if(NOT keys STREQUAL "")
    if(keys MATCHES ";")
      message(FATAL_ERROR "${label}: separate the keys with commas, not semicolons.")
    endif()
    # 32 bytes are 43 base64 characters and one '='; the last character carries 4 unused zero bits.
    string(REPEAT "[A-Za-z0-9+/]" 42 body)
    set(pattern "^${body}[AEIMQUYcgkosw048]=$")
    string(REPLACE "," ";" items "${keys}")
    list(LENGTH items count)
    math(EXPR last "${count} - 1")
    foreach(index RANGE ${last})
      list(GET items ${index} item)
      string(STRIP "${item}" item)
      if(NOT item MATCHES "${pattern}")
        message(FATAL_ERROR "${label}: '${item}' is not an Ed25519 public key (the standard "
                            "base64 of 32 bytes: 44 characters ending in '='). Separate keys "
                            "with commas; vexo-answer keygen prints one.")
      endif()
      string(APPEND entries "Key(\"${item}\"), ")
      list(APPEND checked "${item}")
    endforeach()
    vexo_keys_off_the_curve("${checked}" rejected)
    if(rejected)
      list(GET rejected 0 item)
      message(FATAL_ERROR "${label}: '${item}' is not an Ed25519 public key: it encodes no point "
                          "of the curve, or one of small order, which would vouch for forged "
                          "signatures. vexo-answer keygen prints a key.")
    endif()
  endif()
  set(${entries_var} "${entries}" PARENT_SCOPE)
  set(${count_var} ${count} PARENT_SCOPE)
endfunction()

# vexo_add_update_keys(target label keys): compiles `keys` into the agent program `target`
# (BuiltInUpdateKeys); `label` names where they come from.
function(vexo_add_update_keys target label keys)
  vexo_check_update_keys("${label}" "${keys}" VEXO_KEYS_ENTRIES count)
  if(count GREATER 0)
    message(STATUS "${target} launches only installers signed by one of ${count} pinned keys")
  endif()
  set(VEXO_KEYS_TARGET ${target})
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_update_keys.cpp)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/update_keys.cpp.in ${generated} @ONLY)
  target_sources(${target} PRIVATE ${generated})
endfunction()
