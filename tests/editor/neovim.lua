-- Drives `tamsel lsp` from Neovim's own LSP client on the buffer opened, and writes the
-- diagnostics that Neovim holds at each step to $TAMSEL_OUT, one a line.
local out = {}
local function note(text) table.insert(out, text) end

local function shown()
  local found = {}
  for _, d in ipairs(vim.diagnostic.get(0)) do
    local lsp = (d.user_data or {}).lsp or {}
    local first = vim.split(d.message, "\n")[1]
    local severity = ({ "error", "warning", "info", "hint" })[d.severity]
    table.insert(found, string.format("%d:%d: %s: %s [%s]", d.lnum + 1, d.col + 1, severity, first, lsp.code or "?"))
  end
  table.sort(found)
  return found
end

local function wait_for(what, wanted)
  local ok = vim.wait(30000, function() return wanted(shown()) end, 50)
  note("-- " .. what .. (ok and "" or " (timed out)"))
  for _, line in ipairs(shown()) do note(line) end
  return ok
end

local function count(kind)
  return function(found)
    local n = 0
    for _, line in ipairs(found) do
      if line:find(": " .. kind .. ": ", 1, true) then n = n + 1 end
    end
    return n
  end
end

local function run()
  local client = vim.lsp.start_client({
    name = "tamsel",
    cmd = { vim.env.TAMSEL_COMMAND, "lsp" },
    root_dir = vim.fn.getcwd(),
  })
  assert(client, "the client did not start")
  vim.lsp.buf_attach_client(0, client)
  local ok = wait_for("opened", function(found) return count("warning")(found) == 2 end)
  -- An edit as a person makes it: the field's name mistyped, then put right.
  local line = vim.fn.search("field: amount")
  vim.api.nvim_buf_set_lines(0, line - 1, line, true, { "      subject: {domain: action, field: amont}" })
  ok = wait_for("mistyped", function(found) return count("error")(found) == 1 end) and ok
  vim.api.nvim_buf_set_lines(0, line - 1, line, true, { "      subject: {domain: action, field: amount}" })
  ok = wait_for("fixed", function(found) return count("error")(found) == 0 and count("warning")(found) == 2 end) and ok
  vim.lsp.stop_client(client)
  return ok
end

local ok, result = pcall(run)
if not ok then note("-- failed: " .. tostring(result)) end
vim.fn.writefile(out, vim.env.TAMSEL_OUT)
vim.cmd(ok and result and "qall!" or "cquit 1")
