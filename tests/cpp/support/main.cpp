#include "devices/system_services.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // As the module does on import; tests that change the services put these back.
  nuvra::register_system_services_with_engine();
  return RUN_ALL_TESTS();
}
