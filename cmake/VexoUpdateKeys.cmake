# Update keys: the Ed25519 public keys an agent program trusts for signed updates. A value is
# empty (no signature is looked at) or keys separated by commas, each the standard base64 of its
# 32 bytes, as `vexo-answer keygen` prints them. Anything else stops the configure step.

# vexo_check_update_keys(label keys entries_var count_var): checks `keys` (named `label` in
# messages); gives the C++ initializers of the generated source and the number of keys.
function(vexo_check_update_keys label keys entries_var count_var)
  string(STRIP "${keys}" keys)
  set(entries "")
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
    endforeach()
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
