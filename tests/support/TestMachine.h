// A complete test machine in a temporary folder standing for "/": the
// registry, the product root with version folders, Domino servers run by the
// simulator, and a hot-fix package. Used by the end-to-end tests and the
// demonstration alike. (Built in tests/support/TestMachine.cpp.)
#pragma once
