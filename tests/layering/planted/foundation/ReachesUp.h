// A foundation file that reaches up into the application.
#include "app/ContentView.h"
