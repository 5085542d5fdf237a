// Removed once the runtime lands; keeps the library non-empty.
namespace qiv::runtime {}
