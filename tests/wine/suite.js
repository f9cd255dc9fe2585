// Late-bound checks of TR47_INI.dll from JScript, run by cscript under Wine
// beside the VBScript suite. JScript passes only the arguments written, so
// every omitted optional argument is the server's default; it cannot
// receive Date or Error values, so look-ups that return them are left to
// the VBScript suite. Arguments: the example INI file, a scratch folder,
// and optionally a file stored by the Linux tool under "interchange".
var failures = 0;

function hex(n) {
    return (n < 0 ? n + 0x100000000 : n).toString(16).toUpperCase();
}

function check(ok, what) {
    if (ok) {
        WScript.Echo("ok   " + what);
    } else {
        WScript.Echo("FAIL " + what);
        failures++;
    }
}

// Runs a group of checks; an error raised inside fails the group.
function attempt(what, body) {
    try {
        body();
    } catch (e) {
        WScript.Echo("FAIL " + what + " (error " + hex(e.number) + ": " + e.description + ")");
        failures++;
    }
}

// Names of a collection's entries, by For Each (Enumerator) and by Item.
function enumeratedNames(coll) {
    var names = [];
    for (var e = new Enumerator(coll); !e.atEnd(); e.moveNext()) names.push(e.item().NAME);
    return names.join(";");
}

function itemNames(coll) {
    var names = [];
    for (var i = 1; i <= coll.COUNT(); i++) names.push(coll.Item(i).NAME);
    return names.join(";");
}

var args = WScript.Arguments;
var example = args.Item(0);
var scratch = args.Item(1);
var foreign = args.length > 2 ? args.Item(2) : "";

attempt("create every class", function () {
    var classes = ["cls_INI", "cls_INIEnum", "cls_INIEnums", "cls_INIGroup", "cls_INIValue", "cls_INIValues",
                   "cls_INIGroups"];
    for (var i = 0; i < classes.length; i++) {
        var o = new ActiveXObject("TR47_INI." + classes[i]);
        check(o != null, "new ActiveXObject TR47_INI." + classes[i]);
    }
});

var doc = null, root = null, groups = null, values = null;
attempt("IMPORT", function () {
    doc = new ActiveXObject("TR47_INI.cls_INI");
    check(doc.IMPORT(example) === true, "IMPORT of the example");
    check(doc.IMPORT(scratch + "\\missing.ini", false) === false, "IMPORT of a missing file, messages off");
    root = doc.ROOT;
    groups = root.CHILDREN;
    values = root.VALUES;
});

attempt("VALUE", function () {
    check(doc.VALUE("Count") === 5, "VALUE Count");
    check(doc.VALUE("Title") === "Report, final", "VALUE quoted text");
    check(doc.VALUE("Face") === "Arial", "VALUE found by recursion");
    check(doc.VALUE("Face", "none", false) === "none", "VALUE without recursion");
    check(doc.VALUE("NoSuchValue", "fallback") === "fallback", "VALUE default given");
    check(doc.VALUE("NoSuchValue", 42) === 42, "VALUE numeric default");
    check(doc.VALUE("missing", null) === null, "VALUE(\"missing\", null) is null");
    check(doc.VALUE("Face", null) === "Arial", "VALUE found, null default unused");
    check(doc.VALUE("Enabled") === false, "VALUE boolean");
    check(doc.VALUE(" port ") === 8080, "VALUE of a hexadecimal number, name with blanks");
    check(root.VALUE("Face", "none") === "none", "group VALUE: recursion off by default");
    check(root.VALUE("Face", "none", true) === "Arial", "group VALUE with recursion");
    check(root.EXISTS("Port") === false && root.EXISTS("Port", true) === true, "group EXISTS");
});

attempt("collections", function () {
    check(groups.COUNT() === 2, "CHILDREN COUNT");
    check(groups.Item(1).NAME === "Fonts" && groups.Item(2).NAME === "Network", "CHILDREN Item by position");
    check(groups.Item(" network ").NAME === "Network", "CHILDREN Item by key");
    check(values.COUNT() === 14, "VALUES COUNT");
    check(values.Item("Count").CONTENT === 5 && values.Item("Count").SORT === 1, "Item by name, sort Long");
    check(values.Item("Created").SORT === 4, "a date's sort (its content is not readable here)");
    check(values.Item("Mode").ENUMREF.NAME === "Modes", "ENUMREF");
    check(doc.ENUMS.Item("Modes").VALUES.COUNT() === 3, "member list of an enumeration");
    check(doc.DATA.CLASSNAME === "TR47_INI.cls_INI", "class name of the data object");
    var threw = false;
    try {
        groups.Item(99);
    } catch (e) {
        threw = e.number !== 0;
    }
    check(threw, "Item out of range raises an error");
});

attempt("For Each (Enumerator)", function () {
    var names = enumeratedNames(values);
    check(names !== "" && names === itemNames(values), "Enumerator over VALUES: " + names);
    names = enumeratedNames(groups);
    check(names === "Fonts;Network", "Enumerator over CHILDREN: " + names);
    names = enumeratedNames(doc.ENUMS);
    check(names === "Modes;Sizes", "Enumerator over ENUMS: " + names);
});

attempt("identity", function () {
    check(doc.ROOT == doc.ROOT, "doc.ROOT == doc.ROOT");
    check(values.Item(1) == values.Item(1), "values.Item(1) == values.Item(1)");
    check(groups.Item("Network") == groups.Item(2), "one group by key and by position");
    check(doc.ENUMS.Item("Modes") == values.Item("Mode").ENUMREF, "an enumeration and a value's ENUMREF");
});

attempt("change the model", function () {
    var v = new ActiveXObject("TR47_INI.cls_INIValue");
    v.NAME = "FromJS";
    v.CONTENT = "jscript";
    var added = values.ADD(v);
    check(added == v, "ADD returns the entry added");
    check(doc.VALUE("FromJS") === "jscript", "ADD a created value");
    var g = groups.CREATE();
    check(g.NAME === "" && g.SORT === "", "CREATE without pName and pSort");
    check(groups.REMOVE("") === true && groups.COUNT() === 2, "REMOVE by the empty key");
    var made = values.CREATE("Made", 7);
    check(made.SORT === 0 && doc.VALUE("Made") === 7, "CREATE without pType: kind String, content as given");
    check(values.REMOVE("Made") === true && values.EXISTS("Made") === false, "REMOVE and EXISTS");
});

attempt("SAVE and LOAD", function () {
    var stored = scratch + "\\js.dat";
    check(doc.SAVE(stored, "geheim") === true, "SAVE with a password");
    var other = new ActiveXObject("TR47_INI.cls_INI");
    check(other.LOAD(stored) === false, "LOAD without the password");
    check(other.LOAD(stored, "geheim") === true, "LOAD with the password");
    check(other.VALUE("FromJS") === "jscript" && other.VALUE("Host") === "example.org", "content after LOAD");
    if (foreign !== "") {
        other = new ActiveXObject("TR47_INI.cls_INI");
        check(other.LOAD(foreign, "interchange") === true, "LOAD of the file stored on Linux");
        check(other.VALUE("Count") === 5 && other.VALUE("Title") === "Report, final", "content of the Linux file");
    }
});

if (failures === 0) {
    WScript.Echo("all checks passed");
    WScript.Quit(0);
}
WScript.Echo(failures + " checks failed");
WScript.Quit(1);
