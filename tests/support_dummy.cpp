// Keeps the support library non-empty before any support file exists.
namespace dravex_test { int support_anchor = 0; }
