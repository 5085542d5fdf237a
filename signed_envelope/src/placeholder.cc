// Removed once the first unit lands; keeps the library non-empty.
namespace qiv::envelope {}
