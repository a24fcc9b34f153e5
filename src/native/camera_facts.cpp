#include "glue.hpp"

NB_MODULE(camera_facts, m) { (void)m; }
