' Late-bound client checks of TR47_INI.dll, run by cscript under Wine.
' Arguments: the example INI file, a scratch directory, and optionally a
' file stored by the Linux tool under the password "interchange".
Option Explicit
Dim failures : failures = 0

' A failed check is counted and the suite goes on, so that one run lists
' every failure. An error raised by the statement that computes ok skips
' that statement and stays in Err, so the next check reports it: checks
' whose expression may raise compute it into a variable first.
Sub Check(ok, what)
    If Err.Number <> 0 Then
        WScript.Echo "FAIL " & what & " (error " & Hex(Err.Number) & ": " & Err.Description & ")"
        Err.Clear
        failures = failures + 1
        Exit Sub
    End If
    If Not ok Then
        WScript.Echo "FAIL " & what
        failures = failures + 1
        Exit Sub
    End If
    WScript.Echo "ok   " & what
End Sub

' Names of a collection's entries by For Each and by Item, joined.
Function ForEachNames(coll)
    Dim entry, s
    s = ""
    For Each entry In coll
        s = s & entry.NAME & ";"
    Next
    ForEachNames = s
End Function

Function ItemNames(coll)
    Dim i, s
    s = ""
    For i = 1 To coll.COUNT
        s = s & coll(i).NAME & ";"
    Next
    ItemNames = s
End Function

Dim example, scratch, foreign
example = WScript.Arguments(0)
scratch = WScript.Arguments(1)
foreign = ""
If WScript.Arguments.Count > 2 Then foreign = WScript.Arguments(2)

On Error Resume Next

Dim progId, o
For Each progId In Array("TR47_INI.cls_INI", "TR47_INI.cls_INIEnum", "TR47_INI.cls_INIEnums", _
                         "TR47_INI.cls_INIGroup", "TR47_INI.cls_INIValue", "TR47_INI.cls_INIValues", _
                         "TR47_INI.cls_INIGroups")
    Set o = Nothing
    Set o = CreateObject(progId)
    Check IsObject(o) And Not (o Is Nothing), "CreateObject " & progId
Next

Dim doc
Set doc = CreateObject("TR47_INI.cls_INI")
Check doc.IMPORT(example) = True, "IMPORT of the example"
Check doc.IMPORT(scratch & "\missing.ini", False) = False, "IMPORT of a missing file, messages off"

' VALUE: optional default and recursion omitted and given.
Check doc.VALUE("Count") = 5, "VALUE Count"
Check VarType(doc.VALUE("Created")) = vbDate, "VALUE of a date is a Date"
Check doc.VALUE("Title") = "Report, final", "VALUE quoted text"
Check doc.VALUE("NoSuchValue", "fallback") = "fallback", "VALUE default given"
Check VarType(doc.VALUE("NoSuchValue")) = vbError, "VALUE default omitted gives the missing-argument value"
Check doc.VALUE("Face") = "Arial", "VALUE found by recursion"
Check doc.VALUE("Face", "none", False) = "none", "VALUE without recursion"
Check doc.VALUE("Enabled") = False, "VALUE boolean"

' Collections: default member Item and COUNT walks.
Dim root, groups, values, i, n, names
Set root = doc.ROOT
Set groups = root.CHILDREN
Check groups.COUNT >= 1, "CHILDREN COUNT"
n = 0
For i = 1 To groups.COUNT
    If groups(i).NAME <> "" Then n = n + 1
Next
Check n = groups.COUNT, "walk CHILDREN with For i = 1 To COUNT"
Check groups(1).NAME = groups.Item(1).NAME, "default member Item"
Set values = root.VALUES
names = ""
For i = 1 To values.COUNT
    names = names & values(i).NAME & ";"
Next
Check InStr(names, "Count;") > 0 And InStr(names, "Title;") > 0, "walk VALUES"
Check values("Count").CONTENT = 5 And values("Count").SORT = 1, "Item by name, sort Long"

' SAVE and LOAD with a password.
Dim stored, other
stored = scratch & "\vbs.dat"
Check doc.SAVE(stored, "geheim") = True, "SAVE with a password"
Set other = CreateObject("TR47_INI.cls_INI")
Check other.LOAD(stored, "falsch") = False, "LOAD with the wrong password"
Check other.LOAD(stored, "geheim") = True, "LOAD with the password"
Check other.VALUE("Count") = 5 And other.VALUE("Face") = "Arial", "content after LOAD"

' A file stored by the Linux build.
If foreign <> "" Then
    Set other = CreateObject("TR47_INI.cls_INI")
    Check other.LOAD(foreign, "interchange") = True, "LOAD of the file stored on Linux"
    Check other.VALUE("Count") = 5 And other.VALUE("Title") = "Report, final", "content of the Linux file"
End If

' Changes made through the object model survive a store.
Dim v
Set v = CreateObject("TR47_INI.cls_INIValue")
v.NAME = "Added"
v.CONTENT = "from VBScript"
root.VALUES.ADD v
Check doc.VALUE("Added") = "from VBScript", "ADD a created value"
Check doc.SAVE(scratch & "\to_linux.dat", "interchange") = True, "SAVE for the Linux build"

' For Each over the three collections, in the order of Item.
Dim r
Err.Clear : r = ""
r = ForEachNames(root.VALUES)
Check r <> "" And r = ItemNames(root.VALUES), "For Each over VALUES"
Err.Clear : r = ""
r = ForEachNames(root.CHILDREN)
Check r = "Fonts;Network;", "For Each over CHILDREN"
Err.Clear : r = ""
r = ForEachNames(doc.ENUMS)
Check r = "Modes;Sizes;", "For Each over ENUMS"

' One object per model object.
Err.Clear : r = False
r = doc.ROOT Is doc.ROOT
Check r, "doc.ROOT Is doc.ROOT"
Err.Clear : r = False
r = values(1) Is values(1)
Check r, "values(1) Is values(1)"
Err.Clear : r = False
r = groups("Network") Is groups(2)
Check r, "a group by key Is the group by position"
Err.Clear : r = False
r = values("Added") Is v
Check r, "the added value Is the object that was added"

' Null as the default comes back as Null; a variable passes by reference.
Err.Clear : r = False
r = IsNull(doc.VALUE("missing", Null))
Check r, "VALUE(""missing"", Null) is Null"
Err.Clear : r = ""
r = doc.VALUE("Face", Null)
Check r = "Arial", "VALUE found, Null default unused"
Dim valueName : valueName = "Face"
Err.Clear : r = ""
r = doc.VALUE(valueName)
Check r = "Arial", "VALUE with a variable (by reference)"

If Err.Number <> 0 Then
    WScript.Echo "FAIL unchecked error " & Hex(Err.Number) & ": " & Err.Description
    failures = failures + 1
End If
If failures > 0 Then
    WScript.Echo failures & " checks failed"
    WScript.Quit 1
End If
WScript.Echo "all checks passed"
WScript.Quit 0
