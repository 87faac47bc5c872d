#include "app/startup.h"

int main() { return startup(); }
