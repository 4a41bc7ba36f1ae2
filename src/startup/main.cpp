#include "startup/korvel_main.h"

int main(int argc, char** argv) {
  return KorvelMain(argc, argv);
}
