#include "tools/exporter/QipExporter.h"

int main(int argc, char** argv) { return QipExporter::Main(argc, argv); }
