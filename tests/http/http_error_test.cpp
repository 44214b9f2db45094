#include "http/http_error.h"
#include <gtest/gtest.h>
