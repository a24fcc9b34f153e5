#include "glue.hpp"

NB_MODULE(catalog_client, m) { (void)m; }
