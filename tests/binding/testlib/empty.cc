// A shared object that exports nothing at all: every lookup in it fails.  Built with
// hidden visibility, so even this function stays inside.
namespace {
int g_unused = 0;
}  // namespace

int* TestlibHiddenAnchor() { return &g_unused; }
