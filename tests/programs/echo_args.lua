-- Run by the Lua interpreter, packed and unpacked: prints every argument in brackets and each
-- line of standard input upper-cased, then exits with the code its first argument names.
io.write("argc=", #arg, "\n")
for i = 1, #arg do io.write("[", arg[i], "]\n") end
for line in io.lines() do io.write("in:", line:upper(), "\n") end
os.exit(tonumber(arg[1]) or 0)
