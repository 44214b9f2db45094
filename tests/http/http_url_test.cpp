#include <gtest/gtest.h>
#include "http/http_error.h"
