#include "glue.hpp"

NB_MODULE(factory, m) { (void)m; }
