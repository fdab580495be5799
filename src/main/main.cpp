#include "main/Helper.hpp"

int main() { return tarvo::runHelper(); }
