// The runner of our case scripts: one process runs one case of a script's table, the way
// CTest calls it. The case named first on the command line runs under a case-wide time
// limit; the process ends with PASS (exit 0) or FAIL (exit 1), a wrong call with its
// usage (exit 2). A case skips itself with the harness's SKIP code.
"use strict";

// Ends the process as a failed case.
function failed(e) {
  console.error(`FAIL: ${(e && e.stack) || e}`);
  process.exit(1);
}

// `cases`: name -> async function. `usage`: the arguments after the case name, for the
// usage line (the first of them is required). `prepare(first, rest)` takes those
// arguments before the case starts; what it throws fails the case.
function runCase(script, cases, { usage, limitMs, prepare = () => {} }) {
  const [name, first, ...rest] = process.argv.slice(2);
  if (!name || !Object.hasOwn(cases, name) || !first) {
    console.error(`usage: node ${script} <${Object.keys(cases).join("|")}> ${usage}`);
    process.exit(2);
  }
  (async () => {
    prepare(first, rest);
    const limit = setTimeout(() => {
      console.error(`FAIL ${name}: not finished within ${limitMs} ms`);
      process.exit(1);
    }, limitMs);
    await cases[name]();
    clearTimeout(limit);
    console.log(`PASS ${name}`);
    process.exit(0);
  })().catch(failed);
}

module.exports = { runCase, failed };
