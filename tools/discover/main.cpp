#include "tools/discover/QipDiscover.h"

int main(int argc, char** argv) { return QipDiscover::Main(argc, argv); }
