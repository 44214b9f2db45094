# cmake -DKEYS=<value> -P check_update_keys.cmake: the configure step's check of VEXO_UPDATE_KEYS.
cmake_minimum_required(VERSION 3.21)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/VexoUpdateKeys.cmake)
vexo_check_update_keys(VEXO_UPDATE_KEYS "${KEYS}" entries count)
message("accepted: ${count} keys")
