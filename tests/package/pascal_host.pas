{ A console host of the user guide's Delphi and Free Pascal block, which the
  archive's README.md carries and the tests take out into kwelmora_guide.inc:
  nothing here declares the library's functions.
    pascal_host.exe PORT ADDRESS HEX60
  runs the steps of host_sequence.h, a line per call as the C hosts print them.
  Each result is printed whole (Ord): one declared wider than a byte shows the
  bits above the byte the library set. }
program pascal_host;

{$mode delphi}

uses
  SysUtils, Windows;

{$I kwelmora_guide.inc}

{ The thread that opened the port takes the port's line events when it
  retrieves sent messages; a console host does that between calls. }
procedure Report(const Line: string);
var
  Msg: TMsg;
begin
  PeekMessage(Msg, 0, 0, 0, PM_NOREMOVE);
  WriteLn(Line);
end;

var
  Rec, Back: TKwelmoraRecord;
  Address: Word;
  Status: Byte;
  Code: Int64;
  I: Integer;
  Text: string;
begin
  Address := StrToInt(ParamStr(2));
  for I := 0 to KwelmoraRecordSize - 1 do
    Rec[I] := StrToInt('$' + Copy(ParamStr(3), 2 * I + 1, 2));
  FillChar(Back, SizeOf(Back), 0);

  Code := Ord(ZainicjowanoPortSzeregowyDlaZRV(StrToInt(ParamStr(1))));
  Report('init ' + IntToStr(Code));
  if Code = 0 then
    Halt(1);
  Code := Ord(OdczytanieBajtuStatusuZRV(Status));
  if Code = 0 then
    Report('status 0 ' + IntToStr(Status))
  else
    Report('status ' + IntToStr(Code));
  Report('write ' + IntToStr(Ord(ZapisanieBajtowDoZRV(Address, @Rec[0]))));
  Text := 'read ' + IntToStr(Ord(OdczytanieBajtowZZRV(Address, @Back[0]))) + ' ';
  for I := 0 to KwelmoraRecordSize - 1 do
    Text := Text + LowerCase(IntToHex(Back[I], 2));
  Report(Text);
  Report('deinit ' + IntToStr(Ord(OdinicjowanoPortSzeregowyDlaZRV)));
end.
