// The lint of the repository's JavaScript: the console's modules (browser) and the tests (Node.js). Run from the
// repository root by scripts/check-js.

import js from "@eslint/js";
import globals from "globals";

export default [
  { ignores: ["**/node_modules/**", "build*/**", "obj-*/**"] },
  js.configs.recommended,
  {
    rules: {
      eqeqeq: "error",
      "no-var": "error",
      "prefer-const": "error",
      "no-unused-vars": ["error", { caughtErrors: "none" }],
    },
  },
  {
    files: ["mount-origin/**/*.mjs"],
    languageOptions: { globals: globals.browser },
    // One job per module: a module that outgrows this has taken on a second one.
    rules: { "max-lines": ["error", { max: 250 }] },
  },
  { files: ["tests/**/*.mjs", "tests/**/*.js"], languageOptions: { globals: globals.node } },
  // The browser test hands functions to the page, where they run.
  { files: ["tests/browser/**/*.mjs"], languageOptions: { globals: { ...globals.node, ...globals.browser } } },
];
