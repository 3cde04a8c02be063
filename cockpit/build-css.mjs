// Writes the part of PatternFly 4 that the page uses into one file: the
// global variables and resets, then the components the page's markup names.
// Comments and runs of white space go; PatternFly's fonts and icon fonts stay
// out (the page's own stylesheet takes the fonts Cockpit ships). The icon
// sprite some form controls name is not shipped: the page uses no pf-m-icon-sprite.
//   node build-css.mjs PATTERNFLY_DIR OUTPUT
import { readFileSync, writeFileSync } from "node:fs";
import { join } from "node:path";

const PARTS = [
    "base/patternfly-variables.css",
    "base/patternfly-globals.css",
    "base/patternfly-common.css",
    "components/Alert/alert.css",
    "components/Button/button.css",
    "components/Card/card.css",
    "components/DescriptionList/description-list.css",
    "components/FormControl/form-control.css",
    "components/Switch/switch.css",
    "components/Table/table.css",
    "components/Title/title.css",
    "components/ToggleGroup/toggle-group.css",
];

function compact(css) {
    return css
            .replace(/\/\*[\s\S]*?\*\//g, "")
            .replace(/\s+/g, " ")
            .replace(/\s*([{};,>])\s*/g, "$1")
            .trim();
}

const [directory, output] = process.argv.slice(2);
if (!directory || !output) {
    console.error("usage: node build-css.mjs PATTERNFLY_DIR OUTPUT");
    process.exit(2);
}
const license = "/* PatternFly 4 (https://www.patternfly.org), MIT license: parts of " +
    PARTS.length + " files */\n";
const css = PARTS.map(part => compact(readFileSync(join(directory, part), "utf8"))).join("\n");
writeFileSync(output, license + css + "\n");
