"""The vendor's package tool: builds a package the starter accepts and checks it with the starter's unpacker."""
